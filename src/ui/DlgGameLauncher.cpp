#include "ui/DlgGameLauncher.h"

#include "foundation/Log.h"
#include "gamelauncher/LauncherProtocol.h"
#include "foundation/StringTable.h"
#include "platform/marker.h"
#include "platform/window_marks.h"
#include "ui/toolkit/Controls.h"

namespace {

constexpr ModuleLog kLog{"DlgGameLauncher", L"DlgGameLauncher"};

constexpr const char* kProgressName = "_pgsbar";
constexpr const char* kCloseButtonName = "btnClose";
// LoadStringW into a 256-character buffer: at most 255 characters.
constexpr int kWarningChars = 256;

}  // namespace

CDlgGameLauncher::CDlgGameLauncher() = default;

CDlgGameLauncher::~CDlgGameLauncher() = default;

bool CDlgGameLauncher::InitControls() {
    m_pProgress = dynamic_cast<ui::Progress*>(FindControl(kProgressName));
    if (m_pProgress == nullptr) {
        kLog(84, " Load progress control failed");
        return false;
    }
    m_pProgress->SetMaxValue(static_cast<int>(kProgressFull));
    m_pProgress->SetMinValue(0);
    m_pProgress->SetValue(0);
    SetWindowMark();
    return true;
}

void CDlgGameLauncher::SetWindowMark() {
    // A failure goes to the debug output there; the window works on without
    // the mark.
    platform::markOwnWindow(NativeHandle());
}

bool CDlgGameLauncher::IsRunning() const { return m_bRunning.load(std::memory_order_relaxed); }

void CDlgGameLauncher::SetProgress(uint32_t value, std::stop_token stop) {
    const uint32_t capped = value > kProgressFull ? kProgressFull : value;
    SendMessage(WM_LAUNCHER_PROGRESS, capped, 0, std::move(stop));
}

void CDlgGameLauncher::ShowWarning(uint32_t id, std::stop_token stop) {
    wchar_t text[kWarningChars] = {};
    LoadStringResource(static_cast<uint32_t>(id), text, kWarningChars);
    MessageBox(text, L"Warning", ui::MessageIcon::Warning, std::move(stop));
}

bool CDlgGameLauncher::IsLauncherRunning(std::stop_token stop) {
    switch (platform::probeMarker(launcherprotocol::kLauncherMarker)) {
        case platform::MarkerState::Free:
            return false;
        case platform::MarkerState::Held:
            // Running counts whether or not one of its windows is found.
            platform::bringLauncherWindowForward();
            return true;
        case platform::MarkerState::Failed:
            break;
    }
    ShowWarning(IDS_MARK_FAILED, std::move(stop));
    return true;
}

void CDlgGameLauncher::Hide(std::stop_token stop) {
    RunOnUiThread([this] { ShowWindow(false); }, std::move(stop));
}

int32_t CDlgGameLauncher::Close(std::stop_token stop) {
    return static_cast<int32_t>(SendMessage(ui::kWmClose, 0, 0, std::move(stop)));
}

void CDlgGameLauncher::OnCloseClick(const ui::NotifyMsg&) {
    m_bRunning.store(false, std::memory_order_relaxed);
    ShowWindow(false);
    SendMessage(ui::kWmClose, 0, 0, {});
}

void CDlgGameLauncher::InitWindow() { SetIcon(kIconId); }

intptr_t CDlgGameLauncher::HandleCustomMessage(uint32_t msg, uintptr_t wParam, intptr_t, bool& handled) {
    if (msg == ui::kWmClose) {
        // Hidden, not destroyed: the window object lives until shutdown, and
        // the workflow may still ask it whether it runs.
        m_bRunning.store(false, std::memory_order_relaxed);
        ShowWindow(false);
        ui::PostQuitMessage(0);
        handled = true;
        return 0;
    }
    if (msg == WM_LAUNCHER_PROGRESS) {
        // Before InitControls has found the bar there is nothing to move.
        if (m_pProgress != nullptr && wParam <= kProgressFull) m_pProgress->SetValue(static_cast<int>(wParam));
        handled = true;
        return 0;
    }
    handled = false;
    return 0;
}

void CDlgGameLauncher::Notify(const ui::NotifyMsg& msg) {
    if (msg.type == "click" && msg.senderName == kCloseButtonName) OnCloseClick(msg);
}
