#include "ui/toolkit/Controls.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ui/toolkit/SkinBackend.h"

namespace ui {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// A decimal integer, the whole text; false when it is not one or does not
// fit in 64 bits.
bool parseInteger(std::string_view text, int64_t& out) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t{1} << 63 : uint64_t{std::numeric_limits<int64_t>::max()};
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace

int skinNumber(std::string_view text) {
    int64_t v = 0;
    if (!parseInteger(text, v)) return 0;
    return static_cast<int>(std::clamp<int64_t>(v, -kMaxSkinNumber, kMaxSkinNumber));
}

bool skinBool(std::string_view text) {
    text = trimmed(text);
    if (text.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != "true"[i]) return false;
    }
    return true;
}

int uncoveredExtent(int min, int max, int value, int length) {
    if (max <= min) return 0;
    const int64_t range = int64_t{max} - min;
    const int64_t shown = std::clamp<int64_t>(int64_t{value} - min, 0, range);
    return static_cast<int>(int64_t{length} * shown / range);
}

Control::Control(SkinHost* host, Control* parent) : m_host(host), m_parent(parent) {}

Control::~Control() = default;

Control* Control::addChild(std::unique_ptr<Control> child) {
    m_children.push_back(std::move(child));
    return m_children.back().get();
}

SkinRect Control::floatRect() const {
    const int width = m_width > 0 ? m_width : std::max(0, m_pos[2] - m_pos[0]);
    const int height = m_height > 0 ? m_height : std::max(0, m_pos[3] - m_pos[1]);
    return {m_pos[0], m_pos[1], width, height};
}

void Control::applyAttribute(std::string_view name, std::string_view value) {
    if (name == "name") {
        m_name = value;
    } else if (name == "float") {
        m_float = skinBool(value);
    } else if (name == "pos") {
        // Up to four numbers separated by ","; missing ones are 0.
        int i = 0;
        for (int& v : m_pos) v = 0;
        while (i < 4) {
            const std::size_t comma = value.find(',');
            m_pos[i++] = skinNumber(value.substr(0, comma));
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
        }
    } else if (name == "width") {
        m_width = std::max(0, skinNumber(value));
    } else if (name == "height") {
        m_height = std::max(0, skinNumber(value));
    } else if (name == "enabled") {
        SetEnabled(skinBool(value));
    } else if (name == "visible") {
        m_visible = skinBool(value);
    }
}

void Control::setGeometry(const SkinRect& rect) {
    m_rect = rect;
    layoutChildren();
}

SkinRect Control::windowRect() const {
    SkinRect r = m_rect;
    for (const Control* p = m_parent; p != nullptr; p = p->m_parent) r = r.translated(p->m_rect.left, p->m_rect.top);
    return r;
}

SkinRect Control::visibleRect() const {
    const SkinRect own = windowRect();
    return m_parent != nullptr ? own.intersected(m_parent->visibleRect()) : own;
}

bool Control::IsVisible() const { return m_visible && (m_parent == nullptr || m_parent->IsVisible()); }

bool Control::IsEnabled() const {
    if (!m_enabled) return false;
    if (m_parent != nullptr) return m_parent->IsEnabled();
    return m_host == nullptr || m_host->skinWindowEnabled();
}

void Control::SetEnabled(bool enabled) {
    if (enabled == m_enabled) return;
    m_enabled = enabled;
    // The change reaches every control below, as their state follows ours.
    std::vector<Control*> pending{this};
    while (!pending.empty()) {
        Control* c = pending.back();
        pending.pop_back();
        c->enabledChanged();
        for (const auto& child : c->m_children) pending.push_back(child.get());
    }
    invalidate();
}

void Control::paintTree(SkinCanvas& canvas) const {
    if (!m_visible) return;
    const SkinRect visible = visibleRect();
    if (visible.isEmpty()) return;  // the children lie inside it
    canvas.setClip(visible);
    paint(canvas);
    for (const auto& child : m_children) child->paintTree(canvas);
}

void Control::invalidate() const {
    if (m_host != nullptr && IsVisible()) m_host->skinInvalidate(visibleRect());
}

void Container::applyAttribute(std::string_view name, std::string_view value) {
    if (name == "bkimage") {
        m_bkImage = value;
    } else {
        Control::applyAttribute(name, value);
    }
}

void Container::layoutChildren() {
    const SkinRect& own = geometry();
    int64_t fixedTotal = 0;
    int flexible = 0;
    for (const auto& child : children()) {
        if (child->isFloat()) continue;
        if (child->fixedHeightHint() > 0) {
            fixedTotal += child->fixedHeightHint();
        } else {
            ++flexible;
        }
    }
    const int share =
        flexible > 0 ? static_cast<int>(std::max<int64_t>(0, int64_t{own.height} - fixedTotal) / flexible) : 0;
    int64_t y = 0;
    for (const auto& child : children()) {
        if (child->isFloat()) {
            child->setGeometry(child->floatRect());
            continue;
        }
        const int h = child->fixedHeightHint() > 0 ? child->fixedHeightHint() : share;
        const int w = child->fixedWidthHint() > 0 ? child->fixedWidthHint() : own.width;
        // Stacked children below the bottom of any sane skin are out of sight.
        const int top = static_cast<int>(std::min<int64_t>(y, kMaxSkinNumber * int64_t{64}));
        child->setGeometry({0, top, w, h});
        y += h;
    }
}

void Container::paint(SkinCanvas& canvas) const {
    if (!m_bkImage.empty()) canvas.drawPicture(m_bkImage, windowRect());
}

void Progress::applyAttribute(std::string_view name, std::string_view value) {
    if (name == "foreimage") {
        m_foreImage = value;
    } else if (name == "min") {
        m_min = skinNumber(value);
    } else if (name == "max") {
        m_max = skinNumber(value);
    } else if (name == "value") {
        m_value = skinNumber(value);
    } else if (name == "hor") {
        m_horizontal = skinBool(value);
    } else if (name == "isstretchfore") {
        m_stretchFore = skinBool(value);
    } else {
        Control::applyAttribute(name, value);
    }
}

void Progress::SetMinValue(int min) {
    m_min = min;
    invalidate();
}

void Progress::SetMaxValue(int max) {
    m_max = max;
    invalidate();
}

void Progress::SetValue(int value) {
    if (value == m_value || value < m_min || value > m_max) return;
    m_value = value;
    invalidate();
}

int Progress::uncoveredExtent() const {
    const SkinRect& own = geometry();
    return ui::uncoveredExtent(m_min, m_max, m_value, m_horizontal ? own.width : own.height);
}

Progress::Overlay Progress::overlay() const {
    const SkinRect& own = geometry();
    const int extent = uncoveredExtent();
    Overlay o;
    o.stretch = m_stretchFore;
    if (extent <= 0) return o;
    // Unscaled, the picture's own pixels under the uncovered part show.
    o.target = m_horizontal ? SkinRect{0, 0, extent, own.height} : SkinRect{0, own.height - extent, own.width, extent};
    o.source = o.target;
    return o;
}

void Progress::paint(SkinCanvas& canvas) const {
    const Overlay o = overlay();
    if (o.target.isEmpty() || m_foreImage.empty()) return;
    const SkinRect at = windowRect();
    const SkinRect target = o.target.translated(at.left, at.top);
    if (o.stretch) {
        canvas.drawPicture(m_foreImage, target);
    } else {
        canvas.drawPicturePart(m_foreImage, {target.left, target.top}, o.source);
    }
}

void Button::applyAttribute(std::string_view name, std::string_view value) {
    if (name == "normalimage") {
        m_images[static_cast<int>(State::Normal)] = value;
    } else if (name == "hotimage") {
        m_images[static_cast<int>(State::Hot)] = value;
    } else if (name == "pushedimage") {
        m_images[static_cast<int>(State::Pushed)] = value;
    } else if (name == "disabledimage") {
        m_images[static_cast<int>(State::Disabled)] = value;
    } else {
        Control::applyAttribute(name, value);
    }
}

Button::State Button::state() const {
    if (!IsEnabled()) return State::Disabled;
    if (m_pressed && m_hot) return State::Pushed;
    if (m_hot) return State::Hot;
    return State::Normal;
}

const std::string& Button::picture(State state) const {
    const std::string& own = m_images[static_cast<int>(state)];
    return own.empty() ? m_images[static_cast<int>(State::Normal)] : own;
}

void Button::pointerOver(bool over) {
    if (over == m_hot) return;
    m_hot = over;
    invalidate();
}

void Button::press(SkinPoint at) {
    m_pressed = true;
    m_hot = windowRect().contains(at);
    invalidate();
}

void Button::moveWhilePressed(SkinPoint at) { pointerOver(windowRect().contains(at)); }

bool Button::release(SkinPoint at) {
    if (!m_pressed) return false;
    m_pressed = false;
    m_hot = windowRect().contains(at);
    invalidate();
    return m_hot && IsEnabled();
}

void Button::cancelPress() {
    if (!m_pressed) return;
    m_pressed = false;
    invalidate();
}

void Button::paint(SkinCanvas& canvas) const {
    const std::string& name = picture(state());
    if (!name.empty()) canvas.drawPicture(name, windowRect());
}

void Button::enabledChanged() {
    if (!IsEnabled()) m_pressed = false;
}

}  // namespace ui
