// The skin reader over arbitrary documents: it refuses or builds, never
// crashes, and a skin it builds keeps every control's visible part inside
// the window, whatever the numbers in it. Painting and pointer input run
// over what it built.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/toolkit/Skin.h"
#include "ui/toolkit/SkinBackend.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

class BoundsCanvas : public ui::SkinCanvas {
public:
    explicit BoundsCanvas(ui::SkinSize size) : m_window{0, 0, size.width, size.height} {}
    void setClip(const ui::SkinRect& clip) override { check(clip.isEmpty() || m_window.intersected(clip) == clip); }
    void drawPicture(const std::string&, const ui::SkinRect&) override {}
    void drawPicturePart(const std::string&, ui::SkinPoint, const ui::SkinRect& source) override {
        check(source.width >= 0 && source.height >= 0);
    }

private:
    ui::SkinRect m_window;
};

void checkTree(const ui::Control& control, ui::SkinSize size) {
    const ui::SkinRect visible = control.visibleRect();
    const ui::SkinRect window{0, 0, size.width, size.height};
    check(visible.isEmpty() || window.intersected(visible) == visible);
    for (const auto& child : control.children()) checkTree(*child, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view xml(reinterpret_cast<const char*>(data), size);
    ui::Skin skin;
    std::string error;
    if (!skin.load(xml, error)) {
        check(!error.empty() && skin.controls().empty());
        return 0;
    }
    const ui::SkinSize window = skin.size();
    check(window.width > 0 && window.height > 0 && window.width <= ui::Skin::kMaxWindowSide &&
          window.height <= ui::Skin::kMaxWindowSide);
    for (const auto& control : skin.controls()) checkTree(*control, window);
    BoundsCanvas canvas(window);
    skin.paint(canvas);
    const ui::SkinPoint points[] = {
        {0, 0}, {window.width / 2, window.height / 2}, {window.width - 1, window.height - 1}};
    for (const ui::SkinPoint p : points) {
        skin.pointerMoved(p);
        skin.pointerPressed(p);
        skin.pointerMoved({p.x + 1, p.y + 1});
        skin.pointerReleased(p);
    }
    skin.pointerLeft();
    return 0;
}
