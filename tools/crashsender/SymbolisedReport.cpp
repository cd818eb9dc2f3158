// The symbolised report's text and its plain-words summary: portable, over
// whatever Symbolizer the system's build provides.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>

#include "Symbolizer.h"

namespace crashsender {

namespace {

std::string hex64(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

}  // namespace

std::string demangle(const char* name) {
    if (name == nullptr) return "";
    int status = 0;
    char* d = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || d == nullptr) return name;
    std::string out = d;
    std::free(d);
    return out;
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
        if (loc.function.empty()) {
            s += "??";
        } else {
            s += loc.function;
            // The offset counts from the symbol, which is the outermost
            // function when code was inlined.
            if (loc.callers.empty()) s += " + " + hex64(loc.functionOffset);
        }
        if (!loc.file.empty()) s += " at " + loc.file + ":" + std::to_string(loc.line);
        s += " (" + a.module + (a.module == "-" ? "" : " + " + hex64(a.offset)) + ")";
        if (loc.doubtful) s += " [doubtful]";
        for (std::size_t i = 0; i < loc.callers.size(); ++i) {
            const InlinedCall& c = loc.callers[i];
            s += "\n        inlined into " + c.function;
            if (i + 1 == loc.callers.size()) s += " + " + hex64(loc.functionOffset);
            if (!c.file.empty()) s += " at " + c.file + ":" + std::to_string(c.line);
        }
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
