// Report folders for the sender's tests, laid out as the crash-report engine
// writes them, describing code of the test process itself: its own functions
// are the "crashed" frames, so the symbolised names can be checked against
// what the compiler really produced.
#pragma once

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempHome.h"

namespace sendertest {

inline std::string ownExe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

inline std::string ownMaps() { return testsupport::readFile("/proc/self/maps"); }

inline std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

// The lowest mapping (file offset 0) of the file that holds `address`.
inline bool moduleOf(uint64_t address, uint64_t& base, std::string& path) {
    const std::string maps = ownMaps();
    std::size_t pos = 0;
    struct Line {
        uint64_t start, end, offset;
        std::string path;
    };
    std::vector<Line> lines;
    while (pos < maps.size()) {
        std::size_t end = maps.find('\n', pos);
        if (end == std::string::npos) end = maps.size();
        const std::string line = maps.substr(pos, end - pos);
        pos = end + 1;
        unsigned long long s = 0, e = 0, off = 0;
        char perms[8];
        int consumed = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %*s %*s %n", &s, &e, perms, &off, &consumed) < 4) continue;
        std::string p = consumed > 0 ? line.substr(static_cast<std::size_t>(consumed)) : "";
        lines.push_back({s, e, off, p});
    }
    for (const Line& l : lines) {
        if (address < l.start || address >= l.end || l.path.empty() || l.path[0] != '/') continue;
        path = l.path;
        for (const Line& m : lines) {
            if (m.path == path && m.offset == 0) {
                base = m.start;
                return true;
            }
        }
    }
    return false;
}

// A "frame" (or "scan") record for `address` in this process.
inline std::string codeRecord(const char* key, int index, uint64_t address) {
    uint64_t base = 0;
    std::string path;
    if (!moduleOf(address, base, path)) {
        return std::string(key) + "\t" + std::to_string(index) + "\t" + hex(address) + "\t0x0\t0x0\t-\n";
    }
    return std::string(key) + "\t" + std::to_string(index) + "\t" + hex(address) + "\t" + hex(base) + "\t" +
           hex(address - base) + "\t" + path + "\n";
}

struct Report {
    std::string app = "morvel3_launcher";
    std::string version = "1.0.0.15";
    std::string url;  // the upload URL
    std::string privacy = "https://www.keltora.example/privacy.html";
    std::string exe = ownExe();
    std::string buildId;  // recorded only when set
    std::string frames;   // frame/scan records
    std::string extra;    // further records before "end"
    std::string log = "log line 1\r\nlog line 2\r\n";
    std::string logName = "log_glauncher_20261210.log";
    unsigned logFlags = 5;
    bool complete = true;
};

// Writes `r` as the report folder `folder`; returns the crash.txt text.
inline std::string writeReport(const std::filesystem::path& folder, const Report& r) {
    std::filesystem::create_directories(folder / "files");
    std::string t = "format\tGLCRASH\t1\n";
    t += "app\t" + r.app + "\n";
    t += "version\t" + r.version + "\n";
    t += "url\t" + r.url + "\n";
    t += "privacy\t" + r.privacy + "\n";
    t += "time\t2026-12-10T12:00:00Z\nunixtime\t1796904000\n";
    t += "pid\t" + std::to_string(::getpid()) + "\ntid\t" + std::to_string(::getpid()) + "\n";
    t += "exe\t" + r.exe + "\n";
    if (!r.buildId.empty()) t += "buildid\t" + r.buildId + "\n";
    t += "signal\t11\tSIGSEGV\ncause\tsignal\ncode\t1\tSEGV_MAPERR\naddress\t0x0000000000000000\n";
    t += "reg\trip\t0x0000000000401000\nreg\trsp\t0x00007ffc00000000\n";
    t += r.frames;
    t += "flags\t0x00005fff\n";
    t += "task\t" + std::to_string(::getpid()) + "\n";
    if (!r.logName.empty()) {
        t += "file\t" + std::to_string(r.logFlags) + "\t" + std::to_string(r.log.size()) + "\t" +
             std::to_string(r.log.size()) + "\t" + r.logName + "\tLogFile\n";
        testsupport::writeFile(folder / "files" / r.logName, r.log);
    }
    t += r.extra;
    t += "end\n";
    testsupport::writeFile(folder / "crash.txt", t);
    testsupport::writeFile(folder / "maps", ownMaps());
    if (r.complete) testsupport::writeFile(folder / "complete", "");
    return t;
}

}  // namespace sendertest
