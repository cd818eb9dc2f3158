#include "ui/toolkit/Skin.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>

#include "ui/toolkit/SkinArchive.h"
#include "ui/toolkit/SkinBackend.h"

namespace ui {

namespace {

// The window's own numbers are plain ints: anything that is not a decimal
// integer that fits counts as 0 (and a 0 size is refused).
int windowNumber(std::string_view text) {
    while (!text.empty() && std::strchr(" \t\n\v\f\r", text.front()) != nullptr) text.remove_prefix(1);
    while (!text.empty() && std::strchr(" \t\n\v\f\r", text.back()) != nullptr) text.remove_suffix(1);
    if (text.empty()) return 0;
    const bool negative = text.front() == '-';
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    if (text.empty()) return 0;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (c - '0');
        if (v > int64_t{std::numeric_limits<int>::max()} + 1) return 0;
    }
    v = negative ? -v : v;
    if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min()) return 0;
    return static_cast<int>(v);
}

// Up to `count` numbers separated by ","; missing ones are 0.
void windowNumbers(std::string_view text, int* out, int count) {
    for (int i = 0; i < count; ++i) out[i] = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t comma = text.find(',');
        out[i] = windowNumber(text.substr(0, comma));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::unique_ptr<Control> makeControl(std::string_view type, SkinHost* host, Control* parent) {
    if (type == "VerticalLayout") return std::make_unique<VerticalLayout>(host, parent);
    if (type == "Container") return std::make_unique<Container>(host, parent);
    if (type == "Progress") return std::make_unique<Progress>(host, parent);
    if (type == "Button") return std::make_unique<Button>(host, parent);
    if (type == "Control") return std::make_unique<Control>(host, parent);
    return nullptr;
}

// The line (from 1) of `offset` in the document, for the error message.
long lineOf(std::string_view xml, std::ptrdiff_t offset) {
    const auto end =
        static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(offset, 0, static_cast<std::ptrdiff_t>(xml.size())));
    return 1 + static_cast<long>(std::count(xml.begin(), xml.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
}

// What is wrong with a document the reader refused, in our own words.
const char* parseErrorText(pugi::xml_parse_status status) {
    switch (status) {
        case pugi::status_ok:
            return "No error.";
        case pugi::status_file_not_found:
        case pugi::status_io_error:
            return "Cannot be read.";
        case pugi::status_out_of_memory:
            return "Out of memory.";
        case pugi::status_internal_error:
        case pugi::status_append_invalid_root:
            return "Internal error.";
        case pugi::status_unrecognized_tag:
            return "Unrecognized tag.";
        case pugi::status_bad_pi:
            return "Bad processing instruction.";
        case pugi::status_bad_comment:
            return "Bad comment.";
        case pugi::status_bad_cdata:
            return "Bad CDATA section.";
        case pugi::status_bad_doctype:
            return "Bad document type declaration.";
        case pugi::status_bad_pcdata:
            return "Bad character data.";
        case pugi::status_bad_start_element:
            return "Bad start tag.";
        case pugi::status_bad_attribute:
            return "Bad attribute.";
        case pugi::status_bad_end_element:
            return "Bad end tag.";
        case pugi::status_end_element_mismatch:
            return "Opening and ending tag mismatch.";
        case pugi::status_no_document_element:
            return "No document element.";
    }
    return "Unknown error.";
}

std::string documentError(std::string_view xml, const char* what, std::ptrdiff_t offset) {
    return "skin document: " + std::string(what) + " (line " + std::to_string(lineOf(xml, offset)) + ")";
}

// XML allows an attribute once per element; the reader does not check it.
bool hasRepeatedAttribute(const pugi::xml_node& element) {
    std::set<std::string_view> seen;
    for (pugi::xml_attribute a : element.attributes()) {
        if (!seen.insert(a.name()).second) return true;
    }
    return false;
}

// The control under `p` that takes the pointer: the topmost shown one whose
// visible part holds it. A progress bar lets the pointer through.
Control* controlAt(const std::vector<std::unique_ptr<Control>>& controls, SkinPoint p) {
    Control* found = nullptr;
    for (const auto& c : controls) {
        if (!c->IsVisible() || !c->visibleRect().contains(p)) continue;
        if (dynamic_cast<Progress*>(c.get()) == nullptr) found = c.get();
        if (Control* inner = controlAt(c->children(), p)) found = inner;
    }
    return found;
}

}  // namespace

Skin::Skin(SkinHost* host) : m_host(host) {}

Skin::~Skin() = default;

bool Skin::load(std::string_view xml, std::string& error) {
    m_document = xml;
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    bool ok = false;
    if (!parsed) {
        error = parsed.status == pugi::status_no_document_element
                    ? std::string("the skin has no Window")
                    : documentError(xml, parseErrorText(parsed.status), parsed.offset);
    } else {
        pugi::xml_node window;
        ok = true;
        for (pugi::xml_node node : doc.children()) {
            const bool content =
                node.type() == pugi::node_element ||
                ((node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) &&
                 std::string_view(node.value()).find_first_not_of(" \t\r\n") != std::string_view::npos);
            if (!content) continue;
            if (window) {
                // One document, one root.
                error = documentError(xml, "Extra content at end of document.", node.offset_debug());
                ok = false;
                break;
            }
            if (node.type() != pugi::node_element || std::strcmp(node.name(), "Window") != 0) {
                error = "the skin's root is not a Window";
                ok = false;
                break;
            }
            window = node;
            if (hasRepeatedAttribute(window)) {
                error = documentError(xml, "Attribute redefined.", window.offset_debug());
                ok = false;
                break;
            }
            ok = readControls(window, nullptr, 0, error);
            if (!ok) break;
        }
        if (ok && !window) {
            error = "the skin has no Window";
            ok = false;
        }
        if (ok) {
            int size[2];
            windowNumbers(window.attribute("size").value(), size, 2);
            m_size = {size[0], size[1]};
            windowNumbers(window.attribute("caption").value(), m_caption, 4);
            m_translucent = equalsNoCase(window.attribute("bktrans").value(), "true");
            if (m_size.width <= 0 || m_size.height <= 0 || m_size.width > kMaxWindowSide ||
                m_size.height > kMaxWindowSide) {
                error = "the skin's window size is not usable";
                ok = false;
            }
        }
    }
    m_document = {};
    if (!ok) {
        m_named.clear();
        m_controls.clear();
        m_size = {};
        return false;
    }
    for (const auto& c : m_controls) c->setGeometry({0, 0, m_size.width, m_size.height});
    return true;
}

bool Skin::readControls(const pugi::xml_node& element, Control* parent, int depth, std::string& error) {
    for (pugi::xml_node child : element.children()) {
        if (child.type() != pugi::node_element) continue;
        if (depth + 1 >= kMaxDepth) {
            error = "skin nested too deeply";
            return false;
        }
        if (hasRepeatedAttribute(child)) {
            error = documentError(m_document, "Attribute redefined.", child.offset_debug());
            return false;
        }
        // Inside an element no control is made for, nothing is made either.
        Control* control = nullptr;
        if (depth == 0 || parent != nullptr) {
            std::unique_ptr<Control> made = makeControl(child.name(), m_host, parent);
            if (made) {
                for (pugi::xml_attribute a : child.attributes()) made->applyAttribute(a.name(), a.value());
                control = parent != nullptr ? parent->addChild(std::move(made))
                                            : m_controls.emplace_back(std::move(made)).get();
                if (!control->name().empty()) m_named.emplace(control->name(), control);
            }
        }
        // Below an unknown element the subtree is still checked.
        if (!readControls(child, control, depth + 1, error)) return false;
    }
    return true;
}

Control* Skin::findControl(std::string_view name) const {
    auto it = m_named.find(name);
    return it == m_named.end() ? nullptr : it->second;
}

void Skin::paint(SkinCanvas& canvas) const {
    for (const auto& c : m_controls) c->paintTree(canvas);
}

bool Skin::inCaption(SkinPoint p) const {
    return p.x >= m_caption[0] && p.x < m_size.width - m_caption[2] && p.y >= m_caption[1] && p.y < m_caption[3];
}

Button* Skin::buttonAt(SkinPoint p) const {
    auto* button = dynamic_cast<Button*>(controlAt(m_controls, p));
    return button != nullptr && button->IsEnabled() ? button : nullptr;
}

void Skin::setHot(Button* button) {
    if (button == m_hot) return;
    if (m_hot != nullptr) m_hot->pointerOver(false);
    m_hot = button;
    if (m_hot != nullptr) m_hot->pointerOver(true);
}

bool Skin::pointerPressed(SkinPoint p) {
    if (m_pressed != nullptr || m_dragging) return false;
    if (Button* button = buttonAt(p)) {
        if (m_hot != nullptr && m_hot != button) m_hot->pointerOver(false);
        m_hot = button;
        m_pressed = button;
        button->press(p);
        return false;
    }
    m_dragging = inCaption(p);
    return m_dragging;
}

void Skin::pointerMoved(SkinPoint p) {
    if (m_dragging) return;  // the window follows the pointer
    if (m_pressed != nullptr) {
        m_pressed->moveWhilePressed(p);
        return;
    }
    setHot(dynamic_cast<Button*>(controlAt(m_controls, p)));
}

Button* Skin::pointerReleased(SkinPoint p) {
    if (m_dragging) {
        m_dragging = false;
        return nullptr;
    }
    Button* pressed = m_pressed;
    if (pressed == nullptr) return nullptr;
    m_pressed = nullptr;
    const bool clicked = pressed->release(p);
    m_hot = pressed->isHot() ? pressed : nullptr;
    setHot(dynamic_cast<Button*>(controlAt(m_controls, p)));
    return clicked ? pressed : nullptr;
}

void Skin::pointerLeft() {
    if (m_pressed == nullptr && !m_dragging) setHot(nullptr);
}

void Skin::cancelPointer() {
    if (m_pressed != nullptr) m_pressed->cancelPress();
    m_pressed = nullptr;
    m_dragging = false;
}

bool loadSkin(SkinArchive& archive, const std::string& file, Skin& skin, std::string& error) {
    std::string xml;
    if (!archive.read(file, xml)) {
        error = "skin file " + file + " missing";
        return false;
    }
    return skin.load(xml, error);
}

}  // namespace ui
