// The crash report as it lies on disk: the contract between the in-process
// engine that writes it (src/crash) and the sender program that reads,
// symbolises, shows and uploads it (tools/crashsender). Nothing else in the
// program reads it. Header-only constants and the layout in words; both
// sides include this file and keep to it.
//
// ---------------------------------------------------------------------------
// Where
// ---------------------------------------------------------------------------
// Reports live under the roaming application-data folder (on Linux
// $XDG_CONFIG_HOME, else $HOME/.config):
//   <roaming>/Keltora/morvel3/CrashReports/<report folder>/
// One folder per crash. Its name is
//   <YYYYMMDD>T<HHMMSS>Z-<pid>[-<n>]
// (UTC time of the crash, process id; "-2", "-3", ... only when that name is
// already taken). The folder is created with mode 0700 and its files with
// 0600: a report holds the log and the memory layout of the process.
//
// ---------------------------------------------------------------------------
// Files in a report folder
// ---------------------------------------------------------------------------
//   crash.txt   the crash description (below); written last but one
//   maps        a byte copy of /proc/self/maps at the crash
//   files/      copies of the attached files, each under its own file name
//               (the last path component of the attached path)
//   complete    empty; created after every other file is written and closed.
//               A folder without it is a report the engine could not finish
//               (for example a crash inside the handler): the sender may
//               still show what is there but must not trust it to be whole.
//
// ---------------------------------------------------------------------------
// crash.txt
// ---------------------------------------------------------------------------
// UTF-8 text, one record per line, lines end in "\n". A record is fields
// separated by one TAB; the first field is the key. No field holds a TAB or a
// line end (the engine replaces any in names and descriptions by '?'
// when a file is attached; module paths come from /proc/self/maps, where the
// kernel already escapes a line end as "\012"). Unknown keys are to be
// skipped, so later versions may add records. The first line is always the
// format line, and the last is always "end".
//
//   format  GLCRASH  1
//   app     <application name>                 from the install record
//   version <application version>              from the install record
//   url     <upload URL>                       from the install record
//   privacy <privacy-policy URL>               may be empty
//   time    <YYYY-MM-DDTHH:MM:SSZ>             UTC
//   unixtime <seconds since 1970>
//   pid     <process id>
//   tid     <id of the crashing thread>
//   exe     <absolute path of the executable>  readlink(/proc/self/exe)
//   buildid <lower-case hex>                   the executable's GNU build id,
//                                              read from memory at install;
//                                              only when it has one
//   signal  <number>  <name>                   e.g. "11  SIGSEGV"; a
//                                              std::terminate without a
//                                              signal is reported as
//                                              "6  SIGABRT" with cause
//                                              "terminate"
//   cause   <signal|terminate>                 what entered the handler
//   code    <si_code, signed decimal>  <name or "-">   e.g. "1  SEGV_MAPERR"
//   address 0x<16 hex digits>                  si_addr (faulting address;
//                                              0 where the signal has none)
//   reg     <name>  0x<16 hex digits>          one line per register of the
//                                              crashing thread, x86-64 order:
//                                              r8..r15 rdi rsi rbp rbx rdx rax
//                                              rcx rsp rip eflags csgsfs err
//                                              trapno oldmask cr2
//   frame   <index>  0x<address>  0x<module base>  0x<offset>  <module path>
//           index from 0 (the faulting instruction, rip); address absolute;
//           module base = start of the lowest mapping of that file (file
//           offset 0); offset = address - module base, which is the ELF
//           virtual address for a PIE executable or a shared library
//           (addr2line -e <module path> <offset>). For a non-PIE
//           executable (ET_EXEC) use the absolute address instead. When the
//           address lies in no file mapping: base and offset "0x0" and the
//           path "-". Return addresses (index >= 1) point after the call:
//           symbolise address - 1 for them. At most kMaxFrames frames.
//           The frames after the first come from a frame-pointer walk.
//   scan    <index>  0x<address>  0x<module base>  0x<offset>  <module path>
//           same fields as frame: the words of the crashing thread's stack,
//           from its stack pointer upwards (at most kMaxScanBytes, at most
//           kMaxFrames lines), whose value lies in an executable mapping of
//           a file. Code without frame pointers (the C library, the C++
//           run-time) breaks the frame walk; the scan still holds the return
//           addresses above it, among stale ones. index = word offset from
//           the stack pointer.
//   exception <mangled type name>              only for cause "terminate"
//                                              with an exception in flight
//   flags   0x<8 hex digits>                   the install record's flags
//                                              (kFlagHttpBinaryEncoding:
//                                              binary encoding of the upload)
//   task    <thread id>                        one line per thread of the
//                                              process (/proc/self/task)
//   file    <flags>  <copied bytes>  <size at crash or -1>  <name>  <description>
//           one line per attached file, in the order attached. flags: the
//           sum of kFileFlagCopy (1) and kFileFlagAllowDelete (4). <name> is
//           the copy under files/. <copied bytes> -1 when the file could not
//           be opened at the crash (then there is no copy). A copy shorter
//           than the size holds the file's LAST kMaxFileCopyBytes bytes.
//   end
//
// ---------------------------------------------------------------------------
// The sender
// ---------------------------------------------------------------------------
// The sender program is the file kSenderName in the sender folder of the
// install record. The folder may be given with either separator and with "."
// segments (the program passes its own folder followed by ".\"): the engine
// turns "\" into "/" and drops "." segments, so the sender sits next to the
// program. Installation fails when that file is missing or not executable.
//
// At a crash the engine starts it, after the report is complete, as
//   <sender folder>/crashsender <absolute report folder>
// argv[0] the sender's path, argv[1] the report folder without a trailing
// separator, nothing else; the environment is the crashed process's own
// (DISPLAY, HOME, XDG_* reach the sender); standard input is /dev/null,
// standard output and error are inherited; every other descriptor is closed;
// it runs in a session of its own (setsid), so it outlives the crashed
// process. The crashed process waits only until the execve succeeded or
// failed (bounded), never for the sender to finish or for the user.
//
// ---------------------------------------------------------------------------
// The upload address
// ---------------------------------------------------------------------------
// url = "http://" + <host> + kUploadPath, or <host> + kUploadPath when
// <host> is given as "https://host[:port]" (or "http://host[:port]").
// <host> is kBuiltInUploadHost of crash/CrashBuildSettings.h (the build
// setting GL_CRASH_UPLOAD_HOST), unless the program folder's "setting.ini"
// has the optional key
//   [CrashReport] UploadHost=<host[:port]> or <https://host[:port]>
// which tests and the demo use to point uploads at the local update service.
// The privacy-policy address is kPrivacyPolicyUrl of the same header (the
// build setting GL_CRASH_PRIVACY_URL).
//
// ---------------------------------------------------------------------------
// On Windows
// ---------------------------------------------------------------------------
// The same folder, files and records, with these differences:
//   <roaming> is the user's roaming application data (CSIDL_APPDATA); the
//   folder and its files inherit its access rules, which are the user's own.
//   maps        the module list instead of the memory map: one line per
//               loaded module in the layout of a memory-map line,
//               "<start>-<end> r-xp 00000000 00:00 0 <path>" (hex without
//               0x; start = the module's load address)
//   minidump.dmp  a minidump (MiniDumpNormal: every thread's stack and
//               registers, the module list, the exception with the crashing
//               thread's id and context), written before crash.txt
//   exe, frame and scan paths are Windows paths ("C:\...\x.exe"); there is
//   no buildid record and no scan record.
//   signal      the C run-time's number and name for the event: 11 SIGSEGV
//               (access violation, stack overflow, ...), 4 SIGILL, 8 SIGFPE,
//               22 SIGABRT (abort, std::terminate, pure virtual call, invalid
//               parameter), 5 SIGTRAP; 0 "-" for any other exception
//   cause       exception (an unhandled structured exception), signal
//               (abort), terminate, purecall (the run-time's pure-virtual
//               handler), invalidparameter (the run-time's invalid-parameter
//               handler)
//   code        the exception code as a signed 32-bit number and its name,
//               e.g. "-1073741819  EXCEPTION_ACCESS_VIOLATION"; the crashes
//               without an exception carry STATUS_FATAL_APP_EXIT
//               (0x40000015) or STATUS_INVALID_CRUNTIME_PARAMETER
//   address     for an access violation the address touched, else the
//               address of the instruction
//   reg         r8..r15 rdi rsi rbp rbx rdx rax rcx rsp rip eflags
//   frame       offset = address - module base, the module's relative
//               virtual address; the unstripped .exe names it at
//               <image base> + offset (tools/symbolise-windows-report)
//   task        the thread ids of the process
// The sender is "crashsender.exe" in the sender folder, started as
//   "<sender>" "<absolute report folder>"
// with no handle inherited; the crashed process waits only for
// CreateProcessW. The process ends with the exception code, 3 after abort
// or std::terminate.
//
// ---------------------------------------------------------------------------
// Test-only crash trigger (builds with the CMake option GL_TEST_HOOKS=ON only)
// ---------------------------------------------------------------------------
// In such builds the program reads the environment variable
//   GL_TEST_CRASH=<way>      way: segv | abort | terminate | fpe
// right after crash reporting is installed and the log is attached, before
// the rest of start-up, writes the log line
//   [CrashReport:900]test crash <way>
// and crashes that way on the main thread. Release builds contain neither the
// variable's name nor the code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crashreport {

inline constexpr const char* kReportsSubfolder = "CrashReports/";  // under <roaming> + kProductFolder
inline constexpr const char* kDescriptionFile = "crash.txt";
inline constexpr const char* kMapsFile = "maps";
inline constexpr const char* kMinidumpFile = "minidump.dmp";  // Windows only
inline constexpr const char* kFilesFolder = "files";
inline constexpr const char* kCompleteMark = "complete";

inline constexpr const char* kFormatMagic = "GLCRASH";
inline constexpr int kFormatVersion = 1;

inline constexpr const char* kSenderName = "crashsender";
inline constexpr const char* kUploadPath = "/index.php/crashReport/uploadExternal";

// Attachment flags (addFile and the "file" records): the one definition, which
// the engine's interface (crash/CrashEngine.h) takes over.
inline constexpr uint32_t kFileFlagCopy = 1;         // copied at the moment of the crash
inline constexpr uint32_t kFileFlagAllowDelete = 4;  // the user may leave it out
// The install-record flag the sender acts on (the "flags" record): file parts
// of the upload carry "Content-Transfer-Encoding: binary".
inline constexpr uint32_t kFlagHttpBinaryEncoding = 0x4000;

// Bounds the engine keeps at a crash.
inline constexpr std::size_t kMaxFileCopyBytes = 1024 * 1024;  // last 1 MiB of each attached file
inline constexpr std::size_t kMaxFrames = 64;
inline constexpr std::size_t kMaxScanBytes = 16 * 1024;
inline constexpr std::size_t kMaxAttachedFiles = 8;

// The setting.ini override of the upload host.
inline constexpr const wchar_t* kSettingSection = L"CrashReport";
inline constexpr const wchar_t* kSettingUploadHost = L"UploadHost";

}  // namespace crashreport
