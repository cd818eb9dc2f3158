// The Win32 side of a SkinWindow: the borderless top-level window that holds
// the window's Skin, paints it into a 32-bit picture of the window's size
// (the images blended with their own transparency over a transparent
// start), hands it the pointer, lets the system drag it over the caption
// (WM_NCHITTEST) and filters the keys. Private to src/ui/toolkit/win32/.
//
// UI thread only.
#pragma once

#include "ui/toolkit/win32/Win32.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ui/toolkit/Skin.h"
#include "ui/toolkit/SkinArchive.h"
#include "ui/toolkit/SkinBackend.h"

namespace ui {

class SkinWindow;

// A decoded picture: premultiplied BGRA, rows top-down; empty when missing.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    bool isNull() const { return pixels.empty(); }
};

// Decodes PNG (or any format the system's imaging component reads).
Picture decodePicture(const std::string& bytes);

class SkinWindowWidget : public SkinHost {
public:
    explicit SkinWindowWidget(SkinWindow* owner);
    ~SkinWindowWidget() override;
    SkinWindowWidget(const SkinWindowWidget&) = delete;
    SkinWindowWidget& operator=(const SkinWindowWidget&) = delete;

    SkinArchive& archive() { return m_archive; }
    Skin& skin() { return m_skin; }
    // Makes the window (hidden) of the skin's size, of the window class
    // `className`; false when the system refuses.
    bool create(HWND parent, const std::wstring& className, const wchar_t* title, DWORD style, DWORD exStyle);
    HWND handle() const { return m_window; }
    // The picture `name` of the archive, decoded once and kept.
    const Picture& picture(const std::string& name);
    // The window's content as the skin paints it now (premultiplied BGRA).
    const std::vector<uint32_t>& render();

    // SkinHost
    bool skinWindowEnabled() const override;
    void skinInvalidate(const SkinRect& area) override;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void paint();
    SkinPoint clientPoint(LPARAM lParam) const;

    SkinWindow* m_owner;
    HWND m_window = nullptr;
    SkinArchive m_archive;
    Skin m_skin;
    std::map<std::string, Picture> m_pictures;
    std::vector<uint32_t> m_surface;
    bool m_trackingLeave = false;
};

}  // namespace ui
