#include "ui/toolkit/win32/Win32.h"

#include <cwctype>
#include <string>

#include "platform/debug_output.h"
#include "platform/text.h"
#include "ui/toolkit/Controls.h"
#include "ui/toolkit/Skin.h"
#include "ui/toolkit/SkinWindow.h"
#include "ui/toolkit/win32/Boxes.h"
#include "ui/toolkit/win32/SkinWindowWidget.h"
#include "ui/toolkit/win32/UiThread.h"

namespace ui {

namespace {

HWND handleOf(const std::unique_ptr<SkinWindowWidget>& widget) { return widget ? widget->handle() : nullptr; }

std::wstring widen(const char* ascii) {
    return ascii != nullptr ? std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)) : std::wstring();
}

// A resource named by digits is the resource of that number.
bool readResource(const std::wstring& id, const std::wstring& type, std::string& bytes, std::string& failure) {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    bool numeric = !id.empty() && id.size() <= 5;
    for (wchar_t c : id) numeric = numeric && std::iswdigit(c);
    const LPCWSTR name = numeric ? MAKEINTRESOURCEW(static_cast<WORD>(std::stoul(id))) : id.c_str();
    const HRSRC found = ::FindResourceW(module, name, type.c_str());
    const HGLOBAL loaded = found != nullptr ? ::LoadResource(module, found) : nullptr;
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr) {
        failure = "resource " + platform::wideToUtf8(type) + "/" + platform::wideToUtf8(id) + " missing";
        return false;
    }
    bytes.assign(static_cast<const char*>(data), ::SizeofResource(module, found));
    return true;
}

}  // namespace

SkinWindow::SkinWindow() = default;

SkinWindow::~SkinWindow() = default;

SkinWindow::CreateResult SkinWindow::Create(SkinWindow* parent, const wchar_t* title, uint32_t style,
                                            uint32_t exStyle) {
    if (!ToolkitStarted() || m_widget) return CreateResult::NotPossible;
    auto widget = std::make_unique<SkinWindowWidget>(this);

    // Find the skin: the compiled-in archive, else a file or a folder.
    std::string failure;
    bool opened = false;
    switch (GetResourceType()) {
        case ResourceType::ZipResource: {
            std::string bytes;
            const std::wstring type = widen(GetResourceTypeName());
            if (readResource(GetResourceID(), type, bytes, failure)) {
                opened = widget->archive().openZip(std::move(bytes));
                if (!opened) failure = "resource " + platform::wideToUtf8(GetResourceID()) + " is not a readable archive";
            }
            break;
        }
        case ResourceType::Zip: {
            const std::wstring path = std::wstring(ToolkitResourcePath()) + GetResourceID();
            std::string bytes;
            // The archive file is read through the folder form of the archive.
            widget->archive().openFolder(ToolkitResourcePath());
            opened = widget->archive().read(platform::wideToUtf8(GetResourceID()), bytes) &&
                     widget->archive().openZip(std::move(bytes));
            if (!opened) failure = "archive " + platform::wideToUtf8(path) + " is not readable";
            break;
        }
        default: {
            std::wstring folder = ToolkitResourcePath();
            if (folder.empty()) folder = GetSkinFolder();
            widget->archive().openFolder(folder);
            opened = true;
            break;
        }
    }
    if (opened && !loadSkin(widget->archive(), platform::wideToUtf8(GetSkinFile()), widget->skin(), failure)) {
        opened = false;
    }
    if (!opened) {
        platform::debugOutput(("skin failed: " + failure + "\n").c_str());
        widget.reset();
        ui::MessageBox(parent, kSkinFailedText, kSkinFailedCaption, MessageIcon::Error);
        return CreateResult::SkinFailed;
    }
    if (!widget->create(handleOf(parent ? parent->m_widget : m_widget), widen(GetWindowClassName()),
                        title != nullptr ? title : L"", style, exStyle)) {
        return CreateResult::NotPossible;
    }
    m_widget = std::move(widget);
    InitWindow();
    if ((style & WS_VISIBLE) != 0) ::ShowWindow(m_widget->handle(), SW_SHOWNA);
    return CreateResult::Created;
}

void SkinWindow::CenterWindow() {
    const HWND window = handleOf(m_widget);
    if (window == nullptr) return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    RECT frame{};
    ::GetWindowRect(window, &frame);
    const RECT& work = monitor.rcWork;
    const LONG width = frame.right - frame.left, height = frame.bottom - frame.top;
    ::SetWindowPos(window, nullptr, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SkinWindow::ShowWindow(bool show, bool takeFocus) {
    const HWND window = handleOf(m_widget);
    if (window == nullptr) return;
    if (!show) {
        ::ShowWindow(window, SW_HIDE);
        return;
    }
    ::ShowWindow(window, takeFocus ? SW_SHOW : SW_SHOWNA);
    if (takeFocus) ::SetForegroundWindow(window);
}

bool SkinWindow::IsWindowVisible() const {
    const HWND window = handleOf(m_widget);
    return window != nullptr && ::IsWindowVisible(window);
}

bool SkinWindow::IsWindowEnabled() const {
    const HWND window = handleOf(m_widget);
    return window != nullptr && ::IsWindowEnabled(window);
}

bool SkinWindow::IsCreated() const { return m_widget != nullptr; }

uintptr_t SkinWindow::NativeHandle() const { return reinterpret_cast<uintptr_t>(handleOf(m_widget)); }

Control* SkinWindow::FindControl(const char* name) const {
    if (!m_widget || name == nullptr) return nullptr;
    return m_widget->skin().findControl(name);
}

bool SkinWindow::RunOnUiThread(const std::function<void()>& work, std::stop_token stop) {
    auto task = [work] {
        work();
        return intptr_t{0};
    };
    return callOnUiThread(toolkitCallWindow(), task, std::move(stop), nullptr) == CallResult::Done;
}

intptr_t SkinWindow::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, std::stop_token stop) {
    const HWND window = handleOf(m_widget);
    if (window == nullptr) return 0;
    intptr_t result = 0;
    auto task = [this, msg, wParam, lParam] { return HandleMessage(msg, wParam, lParam); };
    switch (callOnUiThread(window, task, std::move(stop), &result)) {
        case CallResult::Done:
            return result;
        case CallResult::Interrupted:
            return kSendInterrupted;
        case CallResult::Gone:
            break;
    }
    // As a send to a window that no longer exists: nothing was handled.
    return 0;
}

int32_t SkinWindow::MessageBox(const wchar_t* text, const wchar_t* caption, MessageIcon icon, std::stop_token stop) {
    // On the calling thread, owned by the window (which it disables).
    return showBox(handleOf(m_widget), text, caption, icon, std::move(stop));
}

intptr_t SkinWindow::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    bool handled = false;
    const intptr_t result = HandleCustomMessage(msg, wParam, lParam, handled);
    if (handled) return result;
    // The default for WM_CLOSE is to end the window: it is hidden for good.
    if (msg == kWmClose && m_widget) ::ShowWindow(m_widget->handle(), SW_HIDE);
    return 0;
}

intptr_t SkinWindow::HandleCustomMessage(uint32_t, uintptr_t, intptr_t, bool& handled) {
    handled = false;
    return 0;
}

void SkinWindow::Notify(const NotifyMsg&) {}

void SkinWindow::SetIcon(int32_t id) {
    const HWND window = handleOf(m_widget);
    if (window == nullptr) return;
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    const LPCWSTR name = MAKEINTRESOURCEW(static_cast<WORD>(id));
    // Shared icons belong to the system, which frees them with the program.
    const auto big = static_cast<HICON>(::LoadImageW(instance, name, IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                     ::GetSystemMetrics(SM_CYICON), LR_SHARED));
    const auto smallIcon = static_cast<HICON>(::LoadImageW(instance, name, IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                       ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (big != nullptr) ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (smallIcon != nullptr) ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}

}  // namespace ui
