#include "ui/toolkit/win32/Win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/text.h"
#include "ui/toolkit/Toolkit.h"
#include "ui/toolkit/SkinWindow.h"
#include "ui/toolkit/win32/Boxes.h"
#include "ui/toolkit/win32/SkinWindowWidget.h"
#include "ui/toolkit/win32/UiThread.h"

namespace ui {

namespace {

constexpr const wchar_t* kCallWindowClass = L"_GAMELAUNCHER_CALLS_";

struct ToolkitState {
    std::atomic<DWORD> thread{0};
    HWND callWindow = nullptr;  // message-only: runs the calls no window owns
    std::wstring resourcePath;
};

ToolkitState& state() {
    static ToolkitState s;
    return s;
}

LRESULT CALLBACK callWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kWmRunCall) {
        runPostedCall(lParam, true);
        return 0;
    }
    return ::DefWindowProcW(window, msg, wParam, lParam);
}

UINT boxIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error:
            return MB_ICONERROR;
        case MessageIcon::Warning:
            return MB_ICONWARNING;
        case MessageIcon::Information:
            return MB_ICONINFORMATION;
        case MessageIcon::None:
            break;
    }
    return 0;
}

// The box being shown on this thread, for the stop request and the test
// hook, which both have to reach it from outside its own loop.
struct OpenBox {
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> stopped{false};
    const wchar_t* text = nullptr;
    HHOOK hook = nullptr;
};
thread_local OpenBox* t_box = nullptr;

LRESULT CALLBACK boxHook(int code, WPARAM wParam, LPARAM lParam) {
    OpenBox* box = t_box;
    if (box != nullptr && code == HCBT_ACTIVATE && box->window.load() == nullptr) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        box->window.store(window);
        // A stop request that came before the box existed closes it now.
        if (box->stopped.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
#ifdef GL_TEST_HOOKS
        // Test builds only: with GL_TEST_BOXES set, a whole run of the built
        // program can go through its warnings where nobody clicks. The box
        // is shown and its loop runs as for a player; the line on standard
        // error says which box it was.
        const char* confirm = std::getenv("GL_TEST_BOXES");
        if (confirm != nullptr && confirm[0] != '\0') {
            std::fprintf(stderr, "[test box] %s\n", platform::wideToUtf8(box->text != nullptr ? box->text : L"").c_str());
            std::fflush(stderr);
            ::PostMessageW(window, WM_COMMAND, IDOK, 0);
        }
#endif
    }
    return ::CallNextHookEx(box != nullptr ? box->hook : nullptr, code, wParam, lParam);
}

}  // namespace

int32_t showBox(HWND owner, const wchar_t* text, const wchar_t* caption, MessageIcon icon, std::stop_token stop) {
    OpenBox box;
    box.text = text;
    OpenBox* const outer = t_box;
    t_box = &box;
    box.hook = ::SetWindowsHookExW(WH_CBT, &boxHook, nullptr, ::GetCurrentThreadId());
    int result = 0;
    {
        // The box's own loop ends on a close request like the user's.
        std::stop_callback onStop(stop, [&box] {
            box.stopped.store(true);
            const HWND window = box.window.load();
            if (window != nullptr) ::PostMessageW(window, WM_CLOSE, 0, 0);
        });
        if (!box.stopped.load()) {
            result = ::MessageBoxW(owner, text != nullptr ? text : L"", caption != nullptr ? caption : L"",
                                   MB_OK | boxIcon(icon));
        }
    }
    if (box.hook != nullptr) ::UnhookWindowsHookEx(box.hook);
    t_box = outer;
    if (box.stopped.load()) return 0;
    return result == IDOK ? kIdOk : 0;
}

HWND toolkitCallWindow() { return state().callWindow; }

ToolkitStart StartToolkit(const wchar_t* resourcePath) {
    ToolkitState& s = state();
    if (s.thread.load() != 0) return ToolkitStart::AlreadyStarted;
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &callWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kCallWindowClass;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return ToolkitStart::PlatformFailed;
    }
    // A desktop without a window system to show it on refuses windows.
    s.callWindow = ::CreateWindowExW(0, kCallWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (s.callWindow == nullptr || ::GetDesktopWindow() == nullptr) {
        if (s.callWindow != nullptr) ::DestroyWindow(s.callWindow);
        s.callWindow = nullptr;
        return ToolkitStart::PlatformFailed;
    }
    s.resourcePath = resourcePath != nullptr ? resourcePath : L"";
    s.thread.store(::GetCurrentThreadId());
    return ToolkitStart::Started;
}

bool ToolkitStarted() { return state().thread.load() != 0; }

const wchar_t* ToolkitResourcePath() { return state().resourcePath.c_str(); }

int RunMessageLoop() {
    if (!ToolkitStarted()) return -1;
    MSG msg;
    BOOL got;
    while ((got = ::GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return got == 0 ? static_cast<int>(msg.wParam) : -1;
}

void PostQuitMessage(int code) {
    const DWORD ui = state().thread.load();
    // The system's quit message belongs to the thread that posts it; one
    // from elsewhere goes to the UI thread's queue.
    if (ui == 0 || ui == ::GetCurrentThreadId()) {
        ::PostQuitMessage(code);
    } else {
        ::PostThreadMessageW(ui, WM_QUIT, static_cast<WPARAM>(code), 0);
    }
}

void StopToolkit() {
    ToolkitState& s = state();
    if (s.callWindow != nullptr) {
        dropPostedCalls(s.callWindow);
        ::DestroyWindow(s.callWindow);
    }
    s.callWindow = nullptr;
    s.resourcePath.clear();
    // A quit nobody took any more must not end a later loop.
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    s.thread.store(0);
}

int32_t MessageBox(SkinWindow* owner, const wchar_t* text, const wchar_t* caption, MessageIcon icon) {
    if (!ToolkitStarted()) return 0;
    const HWND window = owner != nullptr ? reinterpret_cast<HWND>(owner->NativeHandle()) : nullptr;
    return showBox(window, text, caption, icon, {});
}

}  // namespace ui
