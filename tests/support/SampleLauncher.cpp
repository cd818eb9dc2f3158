#include "support/SampleLauncher.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <chrono>
#include <sstream>

#ifdef _WIN32
#include "common/StopRequest.h"
#endif
#include "foundation/Md5.h"
#include "gamelauncher/LauncherProtocol.h"
#include "platform/marker.h"
#include "support/LinuxPrograms.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace fs = std::filesystem;

namespace testsupport {

fs::path sampleLauncherProgram() {
#ifdef _WIN32
    return builtProgram("tools/sample-launcher/launcher.exe");
#else
    return builtProgram("tools/sample-launcher/sample-launcher");
#endif
}

bool waitLauncherMarker(bool held, int timeoutMs) {
    return waitUntil([held] {
        return (platform::probeMarker(launcherprotocol::kLauncherMarker) == platform::MarkerState::Held) == held;
    }, std::chrono::milliseconds(timeoutMs));
}

bool waitForFile(const fs::path& path, int timeoutMs) {
    return waitUntil([&] { return fs::exists(path); }, std::chrono::milliseconds(timeoutMs));
}

std::vector<LauncherStart> launcherStarts(const fs::path& clientFolder) {
    std::vector<LauncherStart> out;
    for (const std::string& line : textLines(readFile(clientFolder / "launcher.args"))) {
        if (line.rfind("start pid=", 0) == 0) {
            out.emplace_back();
            out.back().pid = std::atoi(line.c_str() + 10);
        } else if (line.rfind("argv[", 0) == 0 && !out.empty()) {
            out.back().args.push_back(line.substr(line.find("]=") + 2));
        }
    }
    return out;
}

bool waitLauncherStarts(const fs::path& clientFolder, std::size_t count, int timeoutMs) {
    return waitUntil([&] { return launcherStarts(clientFolder).size() >= count; },
                     std::chrono::milliseconds(timeoutMs));
}

std::vector<std::string> launcherMessages(const fs::path& clientFolder) {
    return textLines(readFile(clientFolder / "launcher.messages"));
}

#ifdef _WIN32

std::string stopLaunchers(const fs::path& clientFolder) {
    const auto started = launcherStarts(clientFolder);
    // Each one's stop event stays open until it is gone: a launcher that
    // opens it late still finds it set.
    std::vector<HANDLE> requests;
    std::vector<HANDLE> processes;
    for (const LauncherStart& s : started) {
        if (s.pid <= 0) continue;
        const auto pid = static_cast<DWORD>(s.pid);
        if (HANDLE p = ::OpenProcess(SYNCHRONIZE, FALSE, pid)) processes.push_back(p);
        if (HANDLE e = ::CreateEventW(nullptr, TRUE, FALSE, stoprequest::eventName(pid).c_str())) {
            ::SetEvent(e);
            requests.push_back(e);
        }
    }
    std::string failure;
    if (!waitLauncherMarker(false)) failure += "the marker is still held\n";
    // The marker goes before the process: wait for the process too, or its
    // program file stays busy for the next unpacking.
    for (HANDLE p : processes) {
        if (::WaitForSingleObject(p, 20000) != WAIT_OBJECT_0) {
            failure += "launcher " + std::to_string(::GetProcessId(p)) + " outlived its stop request\n";
        }
        ::CloseHandle(p);
    }
    for (HANDLE e : requests) ::CloseHandle(e);
    if (!failure.empty()) failure += "launcher.log:\n" + readFile(clientFolder / "launcher.log");
    return failure;
}

#else

namespace {

// What the kernel says of a process that outlived its SIGTERM: its state and
// its signal masks (pending, blocked, caught).
std::string processStatus(pid_t pid) {
    std::string out;
    for (const std::string& line : textLines(readFile("/proc/" + std::to_string(pid) + "/status"))) {
        for (const char* field : {"State:", "PPid:", "SigPnd:", "ShdPnd:", "SigBlk:", "SigIgn:", "SigCgt:"}) {
            if (line.rfind(field, 0) == 0) out += " " + line;
        }
    }
    return out;
}

}  // namespace

std::string stopLaunchers(const fs::path& clientFolder) {
    const auto started = launcherStarts(clientFolder);
    for (const LauncherStart& s : started) {
        if (s.pid > 0) ::kill(s.pid, SIGTERM);
    }
    std::string failure;
    if (!waitLauncherMarker(false)) failure += "the marker is still held\n";
    // The marker goes before the process: wait for the process too, or its
    // program file stays busy for the next unpacking. Until it is reaped:
    // the leader of a process can show as a zombie while its other threads
    // still hold the program.
    for (const LauncherStart& s : started) {
        if (s.pid > 0 && !waitUntil([&] { return ::kill(s.pid, 0) != 0; }, std::chrono::seconds(20))) {
            failure += "launcher " + std::to_string(s.pid) + " outlived SIGTERM:" + processStatus(s.pid) + "\n";
        }
    }
    if (!failure.empty()) failure += "launcher.log:\n" + readFile(clientFolder / "launcher.log");
    return failure;
}

#endif  // _WIN32

std::string makeLauncherPackage(const fs::path& folder, const std::string& version, const fs::path& zip,
                                const std::vector<std::pair<std::string, std::string>>& extraFiles) {
    fs::create_directories(folder / "client");
    fs::copy_file(sampleLauncherProgram(), folder / "client/launcher.exe",
                  fs::copy_options::overwrite_existing);
    for (const auto& [name, bytes] : extraFiles) {
        fs::create_directories((folder / name).parent_path());
        writeFile(folder / name, bytes);
    }
    fs::create_directories(zip.parent_path());
    const RunResult run = runProgram(linuxProgram("tools/mkpackage/mkpackage"),
                                     {linuxPath(folder), version, linuxPath(zip)}, folder.parent_path());
    if (run.exitCode != 0) return {};
    // Notes on standard error come mixed in; the MD5 is a line of its own.
    for (const std::string& line : textLines(run.output)) {
        if (line.size() == 32 && line.find_first_not_of("0123456789abcdef") == std::string::npos) return line;
    }
    return {};
}

std::string md5Hex(const std::string& bytes) {
    MD5_CTX ctx;
    ctx.MD5Init();
    ctx.MD5Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    unsigned char digest[16];
    ctx.MD5Final(digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

}  // namespace testsupport
