// Test-only fault injection for the file operations of this layer: makes the
// Nth fallible operation fail as a full or broken disk would, or stops the
// process there, so that the tests can show what every failure point of an
// update leaves behind. Exists only in builds with GL_TEST_HOOKS; elsewhere
// every check is an empty inline function and the program holds neither the
// code nor the variables' names. Nothing outside src/platform includes this.
//
// Read once from the environment, at start-up:
//   GL_TEST_FILE_OP_SCOPE  folders whose contents count, separated by ':'
//                          (';' on Windows, where ':' follows a drive
//                          letter; unset: every path counts)
//   GL_TEST_FAIL_FILE_OP=N the Nth counted operation fails and changes
//                          nothing, except a write, which writes half of its
//                          bytes first (a disk that fills up mid-write)
//   GL_TEST_STOP_AT_FILE_OP=N the process stops itself (SIGSTOP; on Windows
//                          it suspends itself) before the Nth counted
//                          operation, for a test to kill it there
//   GL_TEST_FILE_OP_COUNT=PATH at exit, PATH receives "operations <count>",
//                          then one line per counted operation:
//                          "<n> <operation> <path>", " failed" after the one
//                          that was made to fail
//
// Counted: opens that may create or write, writes, renames, truncations,
// mode and time changes, deletions and folder creations. Opens for reading
// are not: they change nothing on disk, and an unreadable file is met by the
// same paths as a damaged one. Callable from any thread.
#pragma once

#include <string>

#include "platform/native_handle.h"

namespace platform {

enum class FileOp { Create, Write, Rename, Truncate, SetAttributes, Delete, CreateFolder };

#ifdef GL_TEST_HOOKS
// Counts one operation on `systemPath` (a path as handed to the system, in
// UTF-8 on Windows) and answers true, with the last error set, when it is to
// fail.
bool injectFileFault(FileOp op, const std::string& systemPath);
// The same for an operation on the open file `file`.
bool injectFileFaultOnHandle(FileOp op, NativeHandle file);
// The same for `leaf` in the open folder `folder`.
bool injectFileFaultAt(FileOp op, NativeHandle folder, const std::string& leaf);
#else
inline bool injectFileFault(FileOp, const std::string&) { return false; }
inline bool injectFileFaultOnHandle(FileOp, NativeHandle) { return false; }
inline bool injectFileFaultAt(FileOp, NativeHandle, const std::string&) { return false; }
#endif

}  // namespace platform
