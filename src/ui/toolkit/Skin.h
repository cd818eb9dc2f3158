// A window's skin: the XML document read into the window's attributes and
// its control tree, laid out for the window's size, painted through a
// backend's SkinCanvas and told of the pointer by the backend. Portable: no
// toolkit or system types, so every backend shares one reading of the skin.
//
// The document: a root element "Window" with "size" ("w,h"), "caption"
// ("left,top,right inset,bottom": presses there drag the window) and
// "bktrans" (per-pixel transparency); inside it the controls
// VerticalLayout, Container, Progress, Button and Control, each with its
// attributes (Controls.h). Unknown elements are skipped with everything
// inside them. Every control directly in the Window covers the whole window.
//
// UI thread only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/toolkit/Controls.h"
#include "ui/toolkit/SkinGeometry.h"

namespace pugi {
class xml_node;
}

namespace ui {

class SkinArchive;
class SkinCanvas;
class SkinHost;

// The one text the user sees when a skin cannot be built, and its caption.
inline constexpr const wchar_t* kSkinFailedText = L"加载资源文件失败";
inline constexpr const wchar_t* kSkinFailedCaption = L"Error";

class Skin {
public:
    // Skins nest a handful of levels; a document nested deeper than this is
    // not a skin and is refused.
    static constexpr int kMaxDepth = 32;
    // The window's size is 1..kMaxWindowSide in each direction.
    static constexpr int kMaxWindowSide = 16384;

    // `host` (may be null: no repaints, the window counts as enabled) must
    // outlive the skin.
    explicit Skin(SkinHost* host = nullptr);
    ~Skin();
    Skin(const Skin&) = delete;
    Skin& operator=(const Skin&) = delete;

    // Reads the skin document `xml` and lays it out. False, with `error` set
    // to one line for the debug output, when it is not a well-formed skin;
    // the skin is then empty. Call once.
    bool load(std::string_view xml, std::string& error);

    SkinSize size() const { return m_size; }
    bool translucent() const { return m_translucent; }
    // The control named `name`, null when there is none (the first of a name
    // counts).
    Control* findControl(std::string_view name) const;
    const std::vector<std::unique_ptr<Control>>& controls() const { return m_controls; }

    void paint(SkinCanvas& canvas) const;

    // Whether `p` (window coordinates) lies in the caption rectangle, whose
    // right edge is an inset from the window's right side.
    bool inCaption(SkinPoint p) const;
    // The button a press at `p` reaches: the topmost shown and enabled one
    // there. Other controls let presses through to the window.
    Button* buttonAt(SkinPoint p) const;

    // The left button went down at `p`. True when the press starts a drag of
    // the window (in the caption, not on a button).
    bool pointerPressed(SkinPoint p);
    void pointerMoved(SkinPoint p);
    // The left button went up at `p`: the button clicked, or null.
    Button* pointerReleased(SkinPoint p);
    void pointerLeft();
    // The window stopped taking input: a press under way is dropped.
    void cancelPointer();

private:
    bool readControls(const pugi::xml_node& element, Control* parent, int depth, std::string& error);
    void setHot(Button* button);

    SkinHost* m_host;
    std::string_view m_document;  // while load runs
    SkinSize m_size;
    int m_caption[4] = {0, 0, 0, 0};  // left, top, right inset, bottom
    bool m_translucent = false;
    std::vector<std::unique_ptr<Control>> m_controls;
    std::map<std::string, Control*, std::less<>> m_named;
    Button* m_hot = nullptr;      // under the pointer
    Button* m_pressed = nullptr;  // pressed on, until the release
    bool m_dragging = false;
};

// Builds `skin` from the document `file` in `archive`. False with `error`
// ("skin file <file> missing" or the document's fault) otherwise.
bool loadSkin(SkinArchive& archive, const std::string& file, Skin& skin, std::string& error);

}  // namespace ui
