#include "CrashDescription.h"

#include <charconv>
#include <string>

#include "crash/CrashReportFormat.h"

namespace crashsender {

namespace {

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', pos);
        fields.push_back(line.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos));
        if (tab == std::string_view::npos) break;
        pos = tab + 1;
    }
    return fields;
}

bool parseSigned(std::string_view s, int64_t& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 10);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parseUnsigned(std::string_view s, uint64_t& out) {
    if (s.empty() || s.front() == '-' || s.front() == '+') return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 10);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parseHex(std::string_view s, uint64_t& out) {
    if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
    s.remove_prefix(2);
    if (s.front() == '-' || s.front() == '+') return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 16);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool isHexText(std::string_view s) {
    if (s.empty() || s.size() % 2 != 0 || s.size() > 128) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

bool parseCodeAddress(const std::vector<std::string_view>& f, CodeAddress& out) {
    if (f.size() != 6) return false;
    return parseUnsigned(f[1], out.index) && parseHex(f[2], out.address) && parseHex(f[3], out.moduleBase) &&
           parseHex(f[4], out.offset) && !f[5].empty() && (out.module = std::string(f[5]), true);
}

std::string text(std::string_view field) { return std::string(field); }

// One record into `out`; false when it is malformed or beyond a bound.
bool takeRecord(const std::vector<std::string_view>& f, CrashDescription& out) {
    const std::string_view key = f[0];
    for (std::string_view field : f) {
        if (field.size() > kMaxFieldBytes) return false;
    }
    auto single = [&](std::string& into) {
        if (f.size() != 2) return false;
        into = text(f[1]);
        return true;
    };
    if (key == "app") return single(out.app);
    if (key == "version") return single(out.version);
    if (key == "url") return single(out.url);
    if (key == "privacy") return single(out.privacy);
    if (key == "time") return single(out.time);
    if (key == "exe") return single(out.exe);
    if (key == "cause") return single(out.cause);
    if (key == "exception") return single(out.exception);
    if (key == "unixtime") return f.size() == 2 && parseSigned(f[1], out.unixTime);
    if (key == "pid") return f.size() == 2 && parseSigned(f[1], out.pid);
    if (key == "tid") return f.size() == 2 && parseSigned(f[1], out.tid);
    if (key == "buildid") {
        if (f.size() != 2 || !isHexText(f[1])) return false;
        out.buildId.clear();
        for (char c : f[1]) out.buildId.push_back(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
        return true;
    }
    if (key == "signal") {
        int64_t n = 0;
        if (f.size() != 3 || !parseSigned(f[1], n) || n < 0 || n > 1024) return false;
        out.signal = static_cast<int32_t>(n);
        out.signalName = text(f[2]);
        return true;
    }
    if (key == "code") {
        if (f.size() != 3 || !parseSigned(f[1], out.code)) return false;
        out.codeName = f[2] == "-" ? "" : text(f[2]);
        return true;
    }
    if (key == "address") return f.size() == 2 && parseHex(f[1], out.address);
    if (key == "flags") {
        uint64_t v = 0;
        if (f.size() != 2 || !parseHex(f[1], v) || v > 0xFFFFFFFFu) return false;
        out.flags = static_cast<uint32_t>(v);
        return true;
    }
    if (key == "reg") {
        Register r;
        if (f.size() != 3 || out.registers.size() >= kMaxRegisters || f[1].empty() || !parseHex(f[2], r.value))
            return false;
        r.name = text(f[1]);
        out.registers.push_back(std::move(r));
        return true;
    }
    if (key == "frame" || key == "scan") {
        auto& list = key == "frame" ? out.frames : out.scan;
        CodeAddress a;
        if (list.size() >= kMaxCodeAddresses || !parseCodeAddress(f, a)) return false;
        list.push_back(std::move(a));
        return true;
    }
    if (key == "task") {
        int64_t t = 0;
        if (f.size() != 2 || out.tasks.size() >= kMaxTasks || !parseSigned(f[1], t)) return false;
        out.tasks.push_back(t);
        return true;
    }
    if (key == "file") {
        AttachedFile a;
        uint64_t flags = 0;
        if (f.size() != 6 || out.files.size() >= kMaxFiles || !parseUnsigned(f[1], flags) || flags > 0xFFFFFFFFu ||
            !parseSigned(f[2], a.copiedBytes) || !parseSigned(f[3], a.sizeAtCrash) || a.copiedBytes < -1 ||
            a.sizeAtCrash < -1 || !isPlainFileName(f[4]))
            return false;
        a.flags = static_cast<uint32_t>(flags);
        a.name = text(f[4]);
        a.description = text(f[5]);
        out.files.push_back(std::move(a));
        return true;
    }
    // Unknown keys belong to later versions of the format.
    return true;
}

}  // namespace

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool parseCrashDescription(std::string_view input, CrashDescription& out) {
    out = CrashDescription{};
    if (input.size() > kMaxDescriptionBytes) input = input.substr(0, kMaxDescriptionBytes);
    std::size_t pos = 0;
    bool first = true;
    while (pos < input.size() && !out.ended) {
        std::size_t end = input.find('\n', pos);
        // A last line without its line end was cut off while being written.
        if (end == std::string_view::npos) {
            ++out.skippedRecords;
            break;
        }
        const std::string_view line = input.substr(pos, end - pos);
        pos = end + 1;
        const std::vector<std::string_view> f = splitFields(line);
        if (first) {
            first = false;
            out.formatKnown = f.size() == 3 && f[0] == "format" && f[1] == crashreport::kFormatMagic &&
                              f[2] == std::to_string(crashreport::kFormatVersion);
            if (!out.formatKnown) return false;
            continue;
        }
        if (f[0] == "end" && f.size() == 1) {
            out.ended = true;
        } else if (!takeRecord(f, out)) {
            ++out.skippedRecords;
        }
    }
    return out.formatKnown;
}

}  // namespace crashsender
