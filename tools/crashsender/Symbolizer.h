// Turns the raw code addresses of a crash description into function names,
// source files and lines, from the ELF files on disk (their symbol tables and
// DWARF line tables, through elfutils' libdwfl), outside the crashed process.
//
// Before trusting a file it checks that it is the one that was running: the
// executable's GNU build id against the one the report recorded (when it
// recorded one), and every module's device and inode against the copy of
// /proc/<pid>/maps. A mismatch is reported in the text, and names from such
// a file are marked as doubtful rather than dropped.
//
// The report names the files, so any of them may be a FIFO or a device: each
// is opened without waiting and read only when it is a regular file.
//
// Reads local files only, provided the environment names no debuginfod
// server (DEBUGINFOD_URLS): libdw would ask it for missing debug information,
// so the sender clears that variable first. No process is started. Not
// thread-safe: one Symbolizer per thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CrashDescription.h"
#include "MapsFile.h"

namespace crashsender {

// A function the compiler inlined the code into: `function` called the
// inner one at `file`:`line`.
struct InlinedCall {
    std::string function;
    std::string file;
    int line = 0;
};

struct SourceLocation {
    // Demangled; empty when no symbol covers the address. With inlined code
    // this is the innermost inlined function, and `callers` lists the
    // functions it was inlined into, innermost first; the last of them is
    // the function `functionOffset` counts from.
    std::string function;
    uint64_t functionOffset = 0;
    std::string file;  // empty when the file has no line table for it
    int line = 0;
    std::vector<InlinedCall> callers;
    bool doubtful = false;  // the module on disk is not the one that ran
};

class Symbolizer {
public:
    // `maps` may be empty (then no inode check is made).
    Symbolizer(const CrashDescription& description, std::vector<MappedFile> maps);
    ~Symbolizer();
    Symbolizer(const Symbolizer&) = delete;
    Symbolizer& operator=(const Symbolizer&) = delete;

    // `isReturnAddress`: the address follows a call (every frame but the
    // first), so the call itself, one byte before, is looked up.
    SourceLocation locate(const CodeAddress& at, bool isReturnAddress);

    // Plain-text notes on what could not be checked or did not match, one
    // per line, for the report text.
    const std::vector<std::string>& notes() const { return m_notes; }

    // The build id of the executable on disk (lower-case hex), empty when it
    // has none or could not be read.
    const std::string& exeBuildIdOnDisk() const { return m_exeBuildId; }

private:
    struct Module;
    Module* moduleFor(const CodeAddress& at);

    const CrashDescription& m_description;
    std::vector<MappedFile> m_maps;
    std::map<std::string, std::unique_ptr<Module>> m_modules;
    std::vector<std::string> m_notes;
    std::string m_exeBuildId;
};

// The whole symbolised report as plain text (what the sender writes into
// the report folder and shows under "Details").
std::string symbolisedReport(const CrashDescription& description, Symbolizer& symbolizer, bool reportComplete);

// A plain-words sentence on what went wrong, for the dialog and the text.
std::string plainWhatHappened(const CrashDescription& description);

// A C++ symbol or type name as written in source; `name` itself when it is
// not a mangled name.
std::string demangle(const char* name);

}  // namespace crashsender
