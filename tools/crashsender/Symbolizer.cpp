#include "Symbolizer.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace crashsender {

namespace {

// The name of a subprogram or inlined-subroutine DIE, following its
// abstract origin: the demangled linkage name when there is one.
std::string dieName(Dwarf_Die* die) {
    Dwarf_Attribute attr;
    if (Dwarf_Attribute* a = dwarf_attr_integrate(die, DW_AT_linkage_name, &attr)) {
        if (const char* linkage = dwarf_formstring(a)) return demangle(linkage);
    }
    if (Dwarf_Attribute* a = dwarf_attr_integrate(die, DW_AT_name, &attr)) {
        if (const char* name = dwarf_formstring(a)) return name;
    }
    return "??";
}

// The inlined calls that lead to `addr` (module address), innermost first:
// for each inlined subroutine around it, its own name and where it was
// called from, and the name of the function it was inlined into.
struct InlineScope {
    std::string name;
    std::string callFile;
    int callLine = 0;
};

std::vector<InlineScope> inlineScopes(Dwfl_Module* mod, Dwarf_Addr addr, std::string& outermost) {
    std::vector<InlineScope> out;
    Dwarf_Addr bias = 0;
    Dwarf_Die* cu = dwfl_module_addrdie(mod, addr, &bias);
    if (cu == nullptr) return out;
    Dwarf_Die* scopes = nullptr;
    const int n = dwarf_getscopes(cu, addr - bias, &scopes);
    if (n <= 0) return out;
    Dwarf_Files* files = nullptr;
    size_t fileCount = 0;
    if (dwarf_getsrcfiles(cu, &files, &fileCount) != 0) files = nullptr;
    for (int i = 0; i < n; ++i) {
        Dwarf_Die* scope = &scopes[i];
        const int tag = dwarf_tag(scope);
        if (tag == DW_TAG_subprogram) {
            outermost = dieName(scope);
            break;
        }
        if (tag != DW_TAG_inlined_subroutine) continue;
        InlineScope s;
        s.name = dieName(scope);
        Dwarf_Attribute attr;
        Dwarf_Word value = 0;
        if (dwarf_formudata(dwarf_attr(scope, DW_AT_call_line, &attr), &value) == 0)
            s.callLine = static_cast<int>(value);
        if (files != nullptr && dwarf_formudata(dwarf_attr(scope, DW_AT_call_file, &attr), &value) == 0 &&
            value < fileCount) {
            if (const char* f = dwarf_filesrc(files, value, nullptr, nullptr)) s.callFile = f;
        }
        out.push_back(std::move(s));
    }
    std::free(scopes);
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

    // The description names the file, so it may name a FIFO or a device:
    // opened without waiting for a writer, and read only when it is a
    // regular file.
    int fd;
    do {
        fd = ::open(at.module.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool special = fd >= 0;
        m_notes.push_back("Cannot read " + at.module + ": " +
                          (special ? std::string("it is not a regular file") : std::strerror(errno)) + ".");
        if (fd >= 0) ::close(fd);
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
    if (raw->dwfl == nullptr) {
        ::close(fd);
        return raw;
    }
    dwfl_report_begin(raw->dwfl);
    // libdwfl places a shared object (and a PIE) so that its first loadable
    // segment starts at `base`; a fixed-address executable ignores it. The
    // module takes the descriptor over when it is made, and only then.
    raw->mod = dwfl_report_elf(raw->dwfl, at.module.c_str(), at.module.c_str(), fd, at.moduleBase, false);
    dwfl_report_end(raw->dwfl, nullptr, nullptr);
    if (raw->mod == nullptr) {
        ::close(fd);
        m_notes.push_back("Cannot read the symbols of " + at.module + ": " + dwfl_errmsg(-1) + ".");
    }
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
    // The line table names the innermost inlined code's line; the scopes
    // name the functions around it.
    std::string outermost;
    const std::vector<InlineScope> scopes = inlineScopes(module->mod, addr, outermost);
    if (!scopes.empty()) {
        const std::string symbolName = loc.function;
        loc.function = scopes.front().name;
        for (std::size_t i = 0; i < scopes.size(); ++i) {
            InlinedCall call;
            call.function = i + 1 < scopes.size() ? scopes[i + 1].name
                                                  : (symbolName.empty() ? outermost : symbolName);
            call.file = scopes[i].callFile;
            call.line = scopes[i].callLine;
            loc.callers.push_back(std::move(call));
        }
    }
    return loc;
}

}  // namespace crashsender
