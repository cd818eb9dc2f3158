// The running process: its id and the full file name of its executable.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

uint32_t currentProcessId();

// Stand-in for GetModuleFileNameW: the absolute path of the running program.
// False (with the last error set) when the system cannot tell.
bool moduleFileName(std::wstring& out);

// Stand-in for ShellExecuteW "open" of a program with one parameter: starts
// `exe` with the one argument `argument` (no shell, no quoting: the text
// arrives as one argument whatever it holds), detached in a session of its
// own, in this process's working folder, with standard input, output and
// error on /dev/null. An `exe` without an execute bit for its owner gets it
// first (a package made without Unix modes unpacks without it). An `exe`
// that others may change is never started: owned by another user (EPERM),
// or writable by group or others (EACCES; when it is the player's own, those
// bits are cleared, for the next start after its content was checked). The
// child is never left as a zombie of this process. True when the program
// was started; false, with the last error set, when it could not be
// (missing, not executable, not a program, not the player's alone).
bool spawnDetached(const std::wstring& exe, const std::wstring& argument);

// A write past the process's file-size limit (RLIMIT_FSIZE) then fails with
// EFBIG, as on a full disk, instead of ending the whole process with
// SIGXFSZ: every write of ours is checked, and the installed launcher must
// still be started when a download or an unpacking cannot be written.
// Called once at start-up, before any thread; spawnDetached gives the
// launcher the default back.
void keepRunningPastFileSizeLimit();

}  // namespace platform
