// The progress window: the skinned picture of the game whose overlay is
// uncovered from the left as the update goes on, and a close button.
// Start-up creates it on the UI thread (Create, CenterWindow, ShowWindow,
// InitControls) and destroys it after the message loop has ended and the
// upgrade manager is gone; the update workflow reaches it only through
// LauncherWindow.
//
// Closing, by the button or by WM_CLOSE, clears the running flag, hides the
// window and posts the quit message that ends the message loop; the window is
// not destroyed then.
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>

#include "ui/toolkit/SkinWindow.h"
#include "upgrade/LauncherWindow.h"

namespace ui {
class Progress;
}

class CDlgGameLauncher : public ui::SkinWindow, public LauncherWindow {
public:
    // The program's icon resource.
    static constexpr int32_t kIconId = 107;
    // The compiled-in skin archive: resource "ZIPRES" 130.
    static constexpr const wchar_t* kSkinResourceId = L"130";
    // The window class, by which other programs (and the tests) find it.
    static constexpr const char* kWindowClassName = "_GAMELAUNCHER_";

    CDlgGameLauncher();
    ~CDlgGameLauncher() override;

    // UI thread, once, right after showing the window. Finds the progress
    // control "_pgsbar" (false and the log line 84 when the skin has none),
    // sets its range to 0..500 and its value to 0, and marks the window.
    bool InitControls();

    // Sets the bootstrapper's window mark = 1 (UI thread);
    // a failure goes to the debug output only.
    void SetWindowMark();

    // LauncherWindow; see there for threads and blocking.
    bool IsRunning() const override;
    void SetProgress(uint32_t value, std::stop_token stop) override;
    void ShowWarning(uint32_t id, std::stop_token stop) override;
    bool IsLauncherRunning(std::stop_token stop) override;
    void Hide(std::stop_token stop) override;
    int32_t Close(std::stop_token stop) override;

    // The close button's click (UI thread).
    void OnCloseClick(const ui::NotifyMsg& msg);

protected:
    const char* GetWindowClassName() const override { return kWindowClassName; }
    std::wstring GetSkinFolder() const override { return L"skin\\"; }
    std::wstring GetSkinFile() const override { return L"gamelauncher.xml"; }
    ui::ResourceType GetResourceType() const override { return ui::ResourceType::ZipResource; }
    std::wstring GetResourceID() const override { return kSkinResourceId; }
    void InitWindow() override;
    intptr_t HandleCustomMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, bool& handled) override;
    void Notify(const ui::NotifyMsg& msg) override;

private:
    // Written on the UI thread only, read by the workflow's threads.
    std::atomic<bool> m_bRunning{true};
    // Owned by the window's control tree; null until InitControls found it.
    ui::Progress* m_pProgress = nullptr;
};
