// The crash report's content: the report folder, the copies of the attached
// files and crash.txt, as crash/CrashReportFormat.h lays them out. Portable;
// each system's catching half (CrashWriter_<system>.cpp) reads its crash
// into CrashFacts, calls these in order and provides the system operations
// declared at the end of this file.
//
// Runs only on the crashing thread, inside its signal handler (or terminate
// handler), once per process: the catching half's one-crash guard lets one
// thread through. Async-signal-safe: static buffers only, no allocation, no
// locks, every loop bounded; a failed write loses that piece, never blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crash::detail {

// A file or folder of the system, opaque here: a descriptor or a handle.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// The wall-clock time of the crash, in UTC.
struct CrashTime {
    int64_t unix;
    int64_t year;
    unsigned month, day, hour, minute, second;
};

CrashTime crashTimeAt(int64_t unixSeconds);

// One line of the stack. modulePath null: the address lies in no file.
struct StackFrame {
    uint64_t index;
    uint64_t address;
    uint64_t moduleBase;
    const char* modulePath;  // not terminated
    std::size_t modulePathLength;
};

struct RegisterValue {
    const char* name;
    uint64_t value;
};

inline constexpr std::size_t kMaxRegisters = 64;

// What the catching half read from the crash; texts are static.
struct CrashFacts {
    int signal;
    const char* signalName;     // "-" when unknown
    const char* cause;          // "signal" or "terminate"
    int64_t code;               // si_code or the system's equivalent; 0 without one
    const char* codeName;       // "-" when unknown
    uint64_t address;           // the faulting address; 0 without one
    const char* exceptionName;  // null without an exception in flight
    uint64_t threadId;
    const RegisterValue* registers;
    std::size_t registerCount;
    const StackFrame* frames;
    std::size_t frameCount;
    const StackFrame* scan;
    std::size_t scanCount;
};

// The steps, in this order. False from makeReportFolder: no report can be
// written, nothing else is called.
bool makeReportFolder(const CrashTime& when);
// The folder made, without a trailing separator.
const char* reportFolder();
// A new file `name` in the report folder, for the catching half's own parts
// (the memory layout); kNoFile when it cannot be created.
FileHandle createReportFile(const char* name);
// The last kMaxFileCopyBytes of each attached file, into files/.
void copyAttachedFiles();
// crash.txt, then the "complete" mark: the last thing written.
void writeDescription(const CrashFacts& facts, const CrashTime& when);

// ---- provided by the catching half -----------------------------------------
// The same rules hold: async-signal-safe, bounded, interrupted calls retried.

enum class FolderResult { Made, Exists, Failed };
// A folder only the user may enter.
FolderResult makeFolder(const char* path);
// A new file only the user may read, never through a link; kNoFile when the
// name exists or it cannot be created.
FileHandle createNewFile(const char* path);
// Opens a regular file for reading, without waiting on it (a FIFO put in its
// place must not stall the crash path); kNoFile for anything else. `size` is
// its size then.
FileHandle openFileToCopy(const char* path, int64_t& size);
bool seekFile(FileHandle file, uint64_t offset);
// Bytes read, 0 at the end, negative on failure.
int64_t readFile(FileHandle file, char* buffer, std::size_t size);
bool writeFile(FileHandle file, const char* data, std::size_t size);
void closeFile(FileHandle file);
uint64_t currentProcessId();
// Calls `onThread` once per thread of the process.
void forEachThread(void (*onThread)(uint64_t threadId, void* context), void* context);

}  // namespace crash::detail
