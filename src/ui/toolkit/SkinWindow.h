// The toolkit's skinned window: a borderless top-level window built from an
// XML skin ("gamelauncher.xml" and its pictures) kept in a ZIP archive
// compiled into the program. A window class derives from it, names its skin
// through the hooks below and answers its messages and notifications there.
// The skin is portable (Skin.h); the window operations are the backend's
// (SkinBackend.h).
//
// Threads: everything runs on the UI thread except SendMessage, RunOnUiThread
// and MessageBox, which any thread may call: they run their work on the UI
// thread and block the caller until it is done (as SendMessageW does), or
// until `stop` is raised when the UI thread no longer handles anything.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "platform/window_send.h"
#include "ui/toolkit/Toolkit.h"

namespace ui {

class Control;
class SkinWindowWidget;

// Window messages the toolkit handles itself; the numbers are the ones the
// window classes and their senders use on every system.
inline constexpr uint32_t kWmClose = 16;
inline constexpr uint32_t kWmUser = 0x0400;

// Where the skin comes from; ZipResource is the toolkit's value 4.
enum class ResourceType : int32_t { File = 1, Zip = 2, Resource = 3, ZipResource = 4 };

// A control's notification, e.g. "click" from a button.
struct NotifyMsg {
    std::string type;
    std::string senderName;
    Control* sender = nullptr;
};

class SkinWindow {
public:
    enum class CreateResult {
        Created,
        // The skin could not be built (resource missing, archive unreadable,
        // XML invalid). The "Error" box has been shown and confirmed; the
        // caller ends the program with exit code 1.
        SkinFailed,
        // The toolkit is not started, or the window exists already.
        NotPossible,
    };

    SkinWindow();
    virtual ~SkinWindow();
    SkinWindow(const SkinWindow&) = delete;
    SkinWindow& operator=(const SkinWindow&) = delete;

    // Creates the window hidden unless `style` has WS_VISIBLE (0x10000000):
    // borderless, of the skin's size, titled `title`. Builds the skin, then
    // calls InitWindow.
    CreateResult Create(SkinWindow* parent, const wchar_t* title, uint32_t style, uint32_t exStyle);
    // Centres the window on the work area of the screen that holds it.
    void CenterWindow();
    // Shows (activated when `takeFocus`) or hides the window.
    void ShowWindow(bool show = true, bool takeFocus = true);
    bool IsWindowVisible() const;
    bool IsWindowEnabled() const;
    bool IsCreated() const;

    // The system's window: the X11 window id when the toolkit runs on X11
    // (else 0), the HWND on Windows.
    uintptr_t NativeHandle() const;

    // The control named `name` in the skin, null when there is none.
    Control* FindControl(const char* name) const;

    // Runs `work` on the UI thread and waits for it: directly when called on
    // the UI thread, else queued behind the pending messages. Returns true
    // when it ran; false when `stop` was raised first (it will then not run)
    // or the toolkit is not started.
    static bool RunOnUiThread(const std::function<void()>& work, std::stop_token stop);

    // Delivers a window message to HandleMessage on the UI thread and returns
    // its result (SendMessageW); kSendInterrupted when `stop` ended the wait.
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, std::stop_token stop);

    // The modal box owned by this window, from any thread; kIdOk once
    // confirmed, 0 when `stop` ended the wait first.
    int32_t MessageBox(const wchar_t* text, const wchar_t* caption, MessageIcon icon, std::stop_token stop);

    // The backend's side of the window; null before Create.
    SkinWindowWidget* widget() const { return m_widget.get(); }

    // Called by the toolkit on the UI thread.
    intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    void DispatchNotify(const NotifyMsg& msg) { Notify(msg); }

protected:
    virtual const char* GetWindowClassName() const = 0;
    // Consulted only when no resource path is set and the skin is a file.
    virtual std::wstring GetSkinFolder() const { return L"skin\\"; }
    virtual std::wstring GetSkinFile() const = 0;
    virtual ResourceType GetResourceType() const { return ResourceType::File; }
    // The compiled-in archive is the resource "<type name>/<id>".
    virtual std::wstring GetResourceID() const { return L""; }
    virtual const char* GetResourceTypeName() const { return "ZIPRES"; }
    // Runs once the skin has been built.
    virtual void InitWindow() {}
    // Every message the standard handling leaves alone; set `handled` to
    // keep the default handling (for WM_CLOSE: destroying the window) away.
    virtual intptr_t HandleCustomMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, bool& handled);
    virtual void Notify(const NotifyMsg& msg);

    // Sets the window's icon from the program's icon resource `id`.
    void SetIcon(int32_t id);

private:
    std::unique_ptr<SkinWindowWidget> m_widget;
};

}  // namespace ui
