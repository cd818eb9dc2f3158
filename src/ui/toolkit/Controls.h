// The skin's controls: their attributes as the skin gives them, where they
// sit, what they draw and how a button answers the pointer. Portable: a
// backend paints them through SkinCanvas and learns of changes through
// SkinHost (SkinBackend.h). The window class reaches them through
// SkinWindow::FindControl.
//
// UI thread only. Every control is owned by its parent, the top-level ones
// by their Skin.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/toolkit/SkinGeometry.h"

namespace ui {

class SkinCanvas;
class SkinHost;

// The skin's numbers: a decimal integer with optional sign and blanks
// around it; anything else counts as 0. Skin numbers are small: beyond
// ±kMaxSkinNumber a number is clamped rather than trusted with pixel
// arithmetic.
inline constexpr int kMaxSkinNumber = 1 << 20;
int skinNumber(std::string_view text);
// "true" in any letter case, blanks around it allowed.
bool skinBool(std::string_view text);

// How much of a progress bar's overlay is uncovered, in pixels along a bar
// `length` long: length × (value − min) / (max − min), fractions dropped,
// the value held to min..max; 0 for an empty range.
int uncoveredExtent(int min, int max, int value, int length);

class Control {
public:
    Control(SkinHost* host, Control* parent);
    virtual ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const std::string& name() const { return m_name; }
    Control* parent() const { return m_parent; }
    const std::vector<std::unique_ptr<Control>>& children() const { return m_children; }
    Control* addChild(std::unique_ptr<Control> child);

    bool isFloat() const { return m_float; }
    // Where a floating control sits in its parent: "pos" (left, top, right,
    // bottom) with "width"/"height" taking the place of a zero right/bottom.
    SkinRect floatRect() const;
    int fixedWidthHint() const { return m_width; }
    int fixedHeightHint() const { return m_height; }

    // One skin attribute; unknown ones are ignored, as the skin may carry
    // attributes for text no control here draws.
    virtual void applyAttribute(std::string_view name, std::string_view value);

    // Places the control in its parent (parent coordinates), then its
    // children.
    void setGeometry(const SkinRect& rect);
    const SkinRect& geometry() const { return m_rect; }
    // The control's rectangle in window coordinates.
    SkinRect windowRect() const;
    // The part of it that can be seen: cut to every parent.
    SkinRect visibleRect() const;

    // Shown, and every parent shown.
    bool IsVisible() const;
    // Enabled, every parent enabled and the window taking input.
    bool IsEnabled() const;
    void SetEnabled(bool enabled);

    // Paints the control and then its children, parents first and siblings
    // in skin order; each cut to its visible rectangle.
    void paintTree(SkinCanvas& canvas) const;

protected:
    // Places the children once the control has its size; only containers
    // have a layout (children of other controls take no room).
    virtual void layoutChildren() {}
    // What the control itself draws (window coordinates).
    virtual void paint(SkinCanvas&) const {}
    // Repaints the control.
    void invalidate() const;
    // Called when the enabled state of the control itself changes.
    virtual void enabledChanged() {}
    SkinHost* host() const { return m_host; }

private:
    SkinHost* m_host;
    Control* m_parent;
    std::vector<std::unique_ptr<Control>> m_children;
    std::string m_name;
    bool m_float = false;
    int m_pos[4] = {0, 0, 0, 0};  // left, top, right, bottom as the skin gives them
    int m_width = 0;
    int m_height = 0;
    bool m_enabled = true;
    bool m_visible = true;
    SkinRect m_rect;  // in the parent
};

// A control that holds others: floating children at their "pos", the rest
// stacked from the top with their fixed heights (the remaining height shared
// by those without one) and their fixed width or the container's.
class Container : public Control {
public:
    using Control::Control;
    void applyAttribute(std::string_view name, std::string_view value) override;
    const std::string& backgroundPicture() const { return m_bkImage; }

protected:
    void layoutChildren() override;
    void paint(SkinCanvas& canvas) const override;

private:
    std::string m_bkImage;
};

class VerticalLayout : public Container {
public:
    using Container::Container;
};

// A bar whose "foreimage" is uncovered as the value grows: from the left
// ("hor" true) or from the bottom, over uncoveredExtent pixels, the picture
// unscaled ("isstretchfore" false) or squeezed into the uncovered part.
// Presses on it belong to the window (it is part of the drag area).
class Progress : public Control {
public:
    using Control::Control;
    void applyAttribute(std::string_view name, std::string_view value) override;

    int GetMinValue() const { return m_min; }
    int GetMaxValue() const { return m_max; }
    int GetValue() const { return m_value; }
    void SetMinValue(int min);
    void SetMaxValue(int max);
    // Ignores a value equal to the current one or outside min..max.
    void SetValue(int value);
    // The uncovered part's extent in pixels along the bar.
    int uncoveredExtent() const;

    // What the bar draws of its picture: `source` of it at `target` (both in
    // the control's own coordinates), scaled when `stretch`. An empty target
    // draws nothing.
    struct Overlay {
        SkinRect target;
        SkinRect source;
        bool stretch = false;
    };
    Overlay overlay() const;
    const std::string& overlayPicture() const { return m_foreImage; }

protected:
    void paint(SkinCanvas& canvas) const override;

private:
    std::string m_foreImage;
    int m_min = 0;
    int m_max = 100;
    int m_value = 0;
    bool m_horizontal = true;
    bool m_stretchFore = false;
};

// A button drawn with one picture per state: normal, hot (pointer over it),
// pushed (pressed on it and the pointer still over it) and disabled; a state
// without a picture shows the normal one. A release over it after a press
// on it is a click.
class Button : public Control {
public:
    enum class State { Normal, Hot, Pushed, Disabled };

    using Control::Control;
    void applyAttribute(std::string_view name, std::string_view value) override;
    State state() const;
    // The picture the button shows in `state`.
    const std::string& picture(State state) const;

    // The pointer, as Skin routes it (window coordinates).
    void pointerOver(bool over);
    void press(SkinPoint at);
    void moveWhilePressed(SkinPoint at);
    // True when the release completes a click.
    bool release(SkinPoint at);
    bool isPressed() const { return m_pressed; }
    bool isHot() const { return m_hot; }
    void cancelPress();

protected:
    void paint(SkinCanvas& canvas) const override;
    void enabledChanged() override;

private:
    std::string m_images[4];
    bool m_hot = false;
    bool m_pressed = false;
};

}  // namespace ui
