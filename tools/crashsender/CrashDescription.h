// The crash description ("crash.txt" of a report folder) as the sender reads
// it. The file is written by a process that was crashing, so it is read as
// outside input: every record is checked, a malformed record is skipped
// (and counted), numbers out of range count as malformed, and nothing in the
// text can make the reader allocate beyond the bounds below.
//
// Pure function over bytes; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace crashsender {

// One code address of the crashing thread, as recorded by a "frame" or a
// "scan" record.
struct CodeAddress {
    uint64_t index = 0;
    uint64_t address = 0;
    uint64_t moduleBase = 0;
    uint64_t offset = 0;
    std::string module;  // "-" when the address lies in no file mapping
};

struct AttachedFile {
    uint32_t flags = 0;
    int64_t copiedBytes = -1;  // -1: the file could not be opened at the crash
    int64_t sizeAtCrash = -1;
    std::string name;  // the copy under files/, one path component
    std::string description;
};

struct Register {
    std::string name;
    uint64_t value = 0;
};

struct CrashDescription {
    bool formatKnown = false;  // first line "format GLCRASH 1"
    bool ended = false;        // the "end" record was read
    std::size_t skippedRecords = 0;

    std::string app, version, url, privacy, time, exe, cause, signalName, codeName, exception;
    std::string buildId;  // lower-case hex of the executable's GNU build id, when recorded
    int64_t unixTime = 0;
    int64_t pid = 0, tid = 0;
    int32_t signal = 0;
    int64_t code = 0;
    uint64_t address = 0;
    uint32_t flags = 0;
    std::vector<Register> registers;
    std::vector<CodeAddress> frames;
    std::vector<CodeAddress> scan;
    std::vector<int64_t> tasks;
    std::vector<AttachedFile> files;
};

// Bounds against a hostile or broken file; records beyond them are skipped.
inline constexpr std::size_t kMaxDescriptionBytes = 4u << 20;
inline constexpr std::size_t kMaxFieldBytes = 4096;
inline constexpr std::size_t kMaxCodeAddresses = 256;
inline constexpr std::size_t kMaxRegisters = 64;
inline constexpr std::size_t kMaxTasks = 65536;
inline constexpr std::size_t kMaxFiles = 64;

// Parses `text`. Only its first kMaxDescriptionBytes are looked at. Returns
// true when the format line was recognised; the result is filled as far as
// the records allow either way.
bool parseCrashDescription(std::string_view text, CrashDescription& out);

// True when `name` is usable as one file name inside the report folder: not
// empty, not "." or "..", no '/', no NUL, at most 255 bytes.
bool isPlainFileName(std::string_view name);

}  // namespace crashsender
