#include "Symbolizer.h"

#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace crashsender {

namespace {

constexpr std::size_t kMaxMapsLines = 65536;

bool hexField(std::string_view s, uint64_t& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, 16);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string hex64(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

std::string demangle(const char* name) {
    if (name == nullptr) return "";
    int status = 0;
    char* d = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || d == nullptr) return name;
    std::string out = d;
    std::free(d);
    return out;
}

char* noDebuginfoPath = nullptr;

const Dwfl_Callbacks kOfflineCallbacks = {
    dwfl_build_id_find_elf,
    dwfl_standard_find_debuginfo,
    dwfl_offline_section_address,
    &noDebuginfoPath,
};

}  // namespace

std::vector<MappedFile> parseMaps(std::string_view text) {
    std::vector<MappedFile> out;
    std::size_t pos = 0;
    for (std::size_t lines = 0; pos < text.size() && lines < kMaxMapsLines; ++lines) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        // start-end perms offset major:minor inode [path]; the path may hold
        // blanks, so it is everything after the sixth field's blanks.
        std::string_view fields[5];
        std::size_t p = 0;
        bool ok = true;
        for (auto& f : fields) {
            while (p < line.size() && line[p] == ' ') ++p;
            const std::size_t q = line.find(' ', p);
            if (q == std::string_view::npos) {
                ok = false;
                break;
            }
            f = line.substr(p, q - p);
            p = q;
        }
        if (!ok) continue;
        while (p < line.size() && line[p] == ' ') ++p;
        const std::string_view path = line.substr(p);
        if (path.empty() || path.front() != '/') continue;
        MappedFile m;
        const std::size_t dash = fields[0].find('-');
        const std::size_t colon = fields[3].find(':');
        uint64_t major = 0, minor = 0;
        if (dash == std::string_view::npos || colon == std::string_view::npos ||
            !hexField(fields[0].substr(0, dash), m.start) || !hexField(fields[0].substr(dash + 1), m.end) ||
            !hexField(fields[2], m.offset) || !hexField(fields[3].substr(0, colon), major) ||
            !hexField(fields[3].substr(colon + 1), minor) || major > 0xFFFFFFFFu || minor > 0xFFFFFFFFu)
            continue;
        const auto r = std::from_chars(fields[4].data(), fields[4].data() + fields[4].size(), m.inode, 10);
        if (r.ec != std::errc() || r.ptr != fields[4].data() + fields[4].size()) continue;
        m.device = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
        m.executable = fields[1].size() >= 3 && fields[1][2] == 'x';
        m.path = std::string(path);
        out.push_back(std::move(m));
    }
    return out;
}

struct Symbolizer::Module {
    Dwfl* dwfl = nullptr;
    Dwfl_Module* mod = nullptr;
    bool doubtful = false;
    ~Module() {
        if (dwfl) dwfl_end(dwfl);
    }
};

Symbolizer::Symbolizer(const CrashDescription& description, std::vector<MappedFile> maps)
    : m_description(description), m_maps(std::move(maps)) {
    if (description.exe.empty()) {
        m_notes.push_back("The report names no executable.");
        return;
    }
    // The executable is opened even when no frame lies in it, for its build id.
    uint64_t base = 0;
    for (const MappedFile& m : m_maps) {
        if (m.path == description.exe && m.offset == 0) {
            base = m.start;
            break;
        }
    }
    CodeAddress exe;
    exe.module = description.exe;
    exe.moduleBase = base;
    Module* module = moduleFor(exe);
    if (module == nullptr || module->mod == nullptr) return;
    const unsigned char* bits = nullptr;
    GElf_Addr vaddr = 0;
    const int n = dwfl_module_build_id(module->mod, &bits, &vaddr);
    for (int i = 0; i < n; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", bits[i]);
        m_exeBuildId += b;
    }
    if (description.buildId.empty()) {
        m_notes.push_back("The report records no build id; the executable on disk was taken as the one that ran.");
    } else if (m_exeBuildId != description.buildId) {
        m_notes.push_back("WARNING: build id mismatch: the report records " + description.buildId + " but " +
                          description.exe + " on disk has " + (m_exeBuildId.empty() ? "none" : m_exeBuildId) +
                          "; names in it may be wrong.");
        module->doubtful = true;
    } else {
        m_notes.push_back("Build id of " + description.exe + " matches: " + m_exeBuildId + ".");
    }
}

Symbolizer::~Symbolizer() = default;

Symbolizer::Module* Symbolizer::moduleFor(const CodeAddress& at) {
    if (at.module.empty() || at.module == "-" || at.module.front() != '/') return nullptr;
    auto found = m_modules.find(at.module);
    if (found != m_modules.end()) return found->second.get();
    auto module = std::make_unique<Module>();
    Module* raw = module.get();
    m_modules.emplace(at.module, std::move(module));

    struct stat st {};
    if (::stat(at.module.c_str(), &st) != 0) {
        m_notes.push_back("Cannot read " + at.module + ": " + std::strerror(errno) + ".");
        return raw;
    }
    for (const MappedFile& m : m_maps) {
        if (m.path != at.module) continue;
        if (m.device != st.st_dev || m.inode != st.st_ino) {
            m_notes.push_back("WARNING: " + at.module +
                              " on disk is not the file that was mapped at the crash (device or inode differ); names "
                              "in it may be wrong.");
            raw->doubtful = true;
        }
        break;
    }
    raw->dwfl = dwfl_begin(&kOfflineCallbacks);
    if (raw->dwfl == nullptr) return raw;
    dwfl_report_begin(raw->dwfl);
    // libdwfl places a shared object (and a PIE) so that its first loadable
    // segment starts at `base`; a fixed-address executable ignores it.
    raw->mod = dwfl_report_elf(raw->dwfl, at.module.c_str(), at.module.c_str(), -1, at.moduleBase, false);
    dwfl_report_end(raw->dwfl, nullptr, nullptr);
    if (raw->mod == nullptr) m_notes.push_back("Cannot read the symbols of " + at.module + ": " + dwfl_errmsg(-1) + ".");
    return raw;
}

SourceLocation Symbolizer::locate(const CodeAddress& at, bool isReturnAddress) {
    SourceLocation loc;
    Module* module = moduleFor(at);
    if (module == nullptr || module->mod == nullptr) return loc;
    loc.doubtful = module->doubtful;
    const GElf_Addr addr = isReturnAddress && at.address > 0 ? at.address - 1 : at.address;
    GElf_Off offset = 0;
    GElf_Sym sym{};
    const char* name = dwfl_module_addrinfo(module->mod, addr, &offset, &sym, nullptr, nullptr, nullptr);
    if (name != nullptr) {
        loc.function = demangle(name);
        loc.functionOffset = offset;
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module->mod, addr)) {
        int lineNo = 0;
        const char* file = dwfl_lineinfo(line, nullptr, &lineNo, nullptr, nullptr, nullptr);
        if (file != nullptr) {
            loc.file = file;
            loc.line = lineNo;
        }
    }
    return loc;
}

std::string plainWhatHappened(const CrashDescription& d) {
    const std::string app = d.app.empty() ? "The program" : d.app;
    if (d.cause == "terminate") {
        return app + " stopped because of an error it could not handle" +
               (d.exception.empty() ? std::string(".") : " (an unexpected " + demangle(d.exception.c_str()) + ").");
    }
    const std::string& s = d.signalName;
    std::string what;
    if (s == "SIGSEGV" || s == "SIGBUS")
        what = "tried to use memory it could not use";
    else if (s == "SIGFPE")
        what = "made a calculation error (such as a division by zero)";
    else if (s == "SIGILL")
        what = "ran into an instruction it could not carry out";
    else if (s == "SIGABRT")
        what = "stopped itself after finding an internal error";
    else if (s == "SIGTRAP")
        what = "hit a debugging trap";
    else if (s == "SIGSYS")
        what = "made a system call that is not allowed";
    else
        what = "ran into a serious problem";
    return app + " " + what + " and had to close.";
}

std::string symbolisedReport(const CrashDescription& d, Symbolizer& symbolizer, bool reportComplete) {
    std::string out;
    auto line = [&](const std::string& s) {
        out += s;
        out += '\n';
    };
    line("Crash report of " + (d.app.empty() ? std::string("(unknown program)") : d.app) + " " + d.version);
    line(plainWhatHappened(d));
    line("");
    line("Time:        " + d.time);
    line("Executable:  " + d.exe);
    line("Process:     " + std::to_string(d.pid) + ", crashing thread " + std::to_string(d.tid) + " (" +
         std::to_string(d.tasks.size()) + " threads)");
    line("Signal:      " + std::to_string(d.signal) + " " + d.signalName + ", code " + std::to_string(d.code) +
         (d.codeName.empty() ? "" : " " + d.codeName) + ", address " + hex64(d.address));
    line("Cause:       " + d.cause + (d.exception.empty() ? "" : ", exception " + demangle(d.exception.c_str())));
    if (!reportComplete) line("WARNING: the report was not finished at the crash; parts may be missing.");
    if (!d.ended) line("WARNING: the crash description ends early.");
    if (d.skippedRecords) line("WARNING: " + std::to_string(d.skippedRecords) + " malformed record(s) skipped.");

    auto describe = [&](const CodeAddress& a, bool isReturn) {
        const SourceLocation loc = symbolizer.locate(a, isReturn);
        char head[64];
        std::snprintf(head, sizeof head, "#%-3" PRIu64 " 0x%016" PRIx64 " ", a.index, a.address);
        std::string s = head;
        s += loc.function.empty() ? "??" : loc.function + " + " + hex64(loc.functionOffset);
        if (!loc.file.empty()) s += " at " + loc.file + ":" + std::to_string(loc.line);
        s += " (" + a.module + (a.module == "-" ? "" : " + " + hex64(a.offset)) + ")";
        if (loc.doubtful) s += " [doubtful]";
        return s;
    };

    line("");
    line("Stack of the crashing thread:");
    for (std::size_t i = 0; i < d.frames.size(); ++i) line("  " + describe(d.frames[i], i > 0));
    if (d.frames.empty()) line("  (no frames recorded)");
    if (!d.scan.empty()) {
        line("");
        line("Code addresses found on the stack (return addresses among stale values):");
        for (const CodeAddress& a : d.scan) line("  " + describe(a, true));
    }
    line("");
    line("Registers:");
    for (const Register& r : d.registers) line("  " + r.name + " = " + hex64(r.value));
    line("");
    line("Attached files:");
    for (const AttachedFile& f : d.files) {
        line("  " + f.description + ": " + f.name +
             (f.copiedBytes < 0 ? " (could not be read at the crash)"
                                : " (" + std::to_string(f.copiedBytes) + " of " + std::to_string(f.sizeAtCrash) +
                                      " bytes)"));
    }
    if (d.files.empty()) line("  (none)");
    line("");
    line("Symbols:");
    for (const std::string& n : symbolizer.notes()) line("  " + n);
    return out;
}

}  // namespace crashsender
