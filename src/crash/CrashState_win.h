// What the Windows engine's install side (CrashEngine_win.cpp) hands to its
// crash path (CrashWriter_win.cpp) beyond the portable CrashState: the
// report thread started at install time and the minidump writer loaded then,
// so that the crash path neither starts a thread nor asks the loader for
// anything.
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace crash::detail {

// The wide forms of the paths the crash path hands to the system, made at
// install time.
inline constexpr std::size_t kWidePathChars = 1024;

struct WindowsState {
    wchar_t senderPath[kWidePathChars];
    HANDLE crashEvent;   // set by the crashing thread: a request is ready
    HANDLE doneEvent;    // set by the report thread: the report is written
    HANDLE reportThread;
    DWORD reportThreadId;
    FARPROC miniDumpWriteDump;  // dbghelp's, null when it could not be loaded
};

extern WindowsState g_win;

// The report thread's procedure (CrashWriter_win.cpp).
DWORD WINAPI reportThreadMain(void*);

// The handlers the install side puts in place (CrashWriter_win.cpp).
LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers);
LONG WINAPI onStackOverflow(EXCEPTION_POINTERS* pointers);
void onAbortSignal(int sig);
void onTerminateWin();
void onPureCall();
void onInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t);
void resetCrashGuard();

}  // namespace crash::detail

#endif  // _WIN32
