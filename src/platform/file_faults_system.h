// What the test-only fault injection (file_faults.h) needs of the system:
// the environment, path resolution, the path of an open handle, stopping
// the process and the failure's last error. Paths are UTF-8 strings in the
// system's own spelling. Exists only in builds with GL_TEST_HOOKS; nothing
// outside file_faults*.cpp includes this.
#pragma once

#ifdef GL_TEST_HOOKS

#include <string>

#include "platform/file_faults.h"

namespace platform::faults {

// '/' or '\'.
char pathSeparator();
// Separates the folders of GL_TEST_FILE_OP_SCOPE: ':', or ';' where ':'
// follows every drive letter.
char scopeSeparator();

// The variable's value; empty when unset.
std::string environment(const char* name);

// Links and "//" (or "." and "..") in a path must not hide that it lies in
// scope: the path made absolute, its folder part resolved, the last level
// kept as it is (it may not exist yet).
std::string resolve(const std::string& path);
// A folder resolved whole, without a trailing separator.
std::string resolveFolder(const std::string& folder);
// The path of an open file or folder, as resolve() spells one; empty when
// the system cannot tell.
std::string pathOfHandle(NativeHandle handle);
// `path` is `folder` or lies below it, with names compared as the file
// system compares them.
bool inFolder(const std::string& path, const std::string& folder);

// Stops every thread of the process for a test to end it there.
void stopProcess();
// The last error a full disk (what takes room) or a failing one gives `op`.
void setFailure(FileOp op);
// Writes `text` as the whole file `path` with raw calls: the report is no
// operation of the program's.
void writeReport(const std::string& path, const std::string& text);

}  // namespace platform::faults

#endif  // GL_TEST_HOOKS
