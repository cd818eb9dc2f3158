// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <cstdio>
#include <string>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/debug_output.h"
#include "platform/window_marks.h"

namespace platform {

namespace {

std::wstring wideName(const char* ascii) { return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)); }

struct Search {
    const wchar_t* mark;
    HWND found = nullptr;
};

BOOL CALLBACK visit(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (::GetPropW(window, search->mark) == nullptr) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

bool markOwnWindow(WindowHandle window) {
    const std::wstring mark = wideName(launcherprotocol::kBootstrapperWindowMark);
    // The property holds a handle-sized value; the mark's value is 1.
    const auto value = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(launcherprotocol::kWindowMarkValue));
    if (::SetPropW(reinterpret_cast<HWND>(window), mark.c_str(), value)) return true;
    char code[16];
    std::snprintf(code, sizeof code, "%lu", ::GetLastError());
    debugOutput("SetProp failed ErrCode:");
    debugOutput(code);
    debugOutput("\n");
    return false;
}

bool bringLauncherWindowForward() {
    const std::wstring mark = wideName(launcherprotocol::kLauncherWindowMark);
    Search search{mark.c_str()};
    // Every window below the desktop, top-level windows and their
    // descendants alike: the launcher may carry its mark on any of them.
    ::EnumChildWindows(::GetDesktopWindow(), &visit, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return false;
    // The top-level window is the one that is minimised and activated.
    const HWND top = ::GetAncestor(search.found, GA_ROOT);
    const HWND target = top != nullptr ? top : search.found;
    if (::IsIconic(target)) return false;
    return ::SetForegroundWindow(target) != FALSE;
}

}  // namespace platform

#endif  // _WIN32
