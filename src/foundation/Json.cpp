#include "foundation/Json.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/JsonText.h"

using jsontext::Group;
using jsontext::hexValue;
using jsontext::isDigit;
using jsontext::isHexDigit;
using jsontext::kNoPosition;

// The compact text of one parsed document, shared by all of its nodes.
struct JsonDoc {
    size_t refs = 0;  // nodes that refer to this document
    std::string text;
    std::vector<Group> groups;
};

struct JsonNodeData {
    size_t refs = 1;  // handles that refer to this node
    JsonType kind = JsonType::Null;
    bool expanded = true;
    // Null: the value was empty (text ""); Boolean: the value is true.
    bool flag = false;
    JsonDoc* doc = nullptr;
    // The raw text in doc->text: the quoted string, the number as written, or
    // the bracketed container.
    size_t begin = 0;
    size_t end = 0;
    size_t opener = 0;  // containers: number of the opening bracket
    std::string name;
    std::string decoded;  // strings, once expanded
    std::vector<JsonNode> children;
    JsonNodeData* nextDead = nullptr;  // release list link

    static void release(JsonNodeData* node) noexcept;
    static JsonNodeData* copyOf(const JsonNodeData& from);
    static void expand(JsonNodeData* node) noexcept;
    static JsonNode handle(JsonNodeData* node) noexcept { return JsonNode(node); }
};

namespace {

// ---------------------------------------------------------------------------
// Tree building.

// Advances `pos` to the next ',', ':' or stray ']' / '}' at the top level of
// [pos, end) and returns that byte, or 0 at `end`. Strings, comment markers
// and bracket groups are stepped over whole; a group that does not close
// before `end` runs to `end`. `opener` counts the openers passed.
char scanTop(const JsonDoc& doc, size_t& pos, size_t end, size_t& opener) {
    const char* t = doc.text.data();
    while (pos < end) {
        const char c = t[pos];
        switch (c) {
            case ',':
            case ':':
            case ']':
            case '}':
                return c;
            case '"': {
                size_t j = pos + 1;
                while (j < end && t[j] != '"') j += (t[j] == '\\') ? 2 : 1;
                if (j >= end) {
                    pos = end;
                    return 0;
                }
                pos = j + 1;
                break;
            }
            case '#': {
                const void* close = std::memchr(t + pos + 1, '#', end - pos - 1);
                if (!close) {
                    pos = end;
                    return 0;
                }
                pos = static_cast<size_t>(static_cast<const char*>(close) - t) + 1;
                break;
            }
            case '[':
            case '{': {
                if (opener >= doc.groups.size()) {
                    pos = end;
                    return 0;
                }
                const Group& g = doc.groups[opener];
                if (g.closer == kNoPosition || g.closer >= end) {
                    pos = end;
                    return 0;
                }
                pos = g.closer + 1;
                opener = g.next;
                break;
            }
            default:
                ++pos;
                break;
        }
    }
    return 0;
}

// Moves `from` past the comment markers at the start of [from, to).
void skipMarkers(const char* t, size_t& from, size_t to) {
    while (from < to && t[from] == '#') {
        const void* close = std::memchr(t + from + 1, '#', to - from - 1);
        if (!close) return;
        from = static_cast<size_t>(static_cast<const char*>(close) - t) + 1;
    }
}

bool hasNumberForm(const char* s, size_t n) {
    if (n == 0) return false;
    if (s[0] == '0') {
        if (n == 1) return true;
        if (s[1] == 'x') {
            for (size_t k = 2; k < n; ++k)
                if (!isHexDigit(s[k])) return false;
            return true;
        }
        if (s[1] >= '1' && s[1] <= '7') {
            for (size_t k = 1; k < n; ++k)
                if (s[k] < '0' || s[k] > '7') return false;
            return true;
        }
        if (s[1] != '.' && s[1] != 'e' && s[1] != 'E') return false;  // 00, 08, 0a ...
    }
    size_t i = 0;
    bool dot = false;
    if (s[0] == '+' || s[0] == '-') {
        if (n == 1 || s[1] == '.' || s[1] == 'e' || s[1] == 'E') return false;
        i = 1;
    } else if (s[0] == '.') {
        dot = true;
        i = 1;
    }
    bool exponent = false;
    while (i < n) {
        const char c = s[i];
        if (isDigit(c)) {
            ++i;
        } else if (c == '.') {
            if (dot || exponent) return false;
            dot = true;
            ++i;
        } else if (c == 'e' || c == 'E') {
            if (exponent) return false;
            exponent = true;
            ++i;
            if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
            if (i >= n || !isDigit(s[i])) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Decodes a string's content (or a member name) with the dialect's escapes.
void decodeInto(const char* s, size_t n, std::string& out) {
    out.clear();
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        const void* bs = std::memchr(s + i, '\\', n - i);
        const size_t stop = bs ? static_cast<size_t>(static_cast<const char*>(bs) - s) : n;
        out.append(s + i, stop - i);
        i = stop;
        if (i >= n) break;
        if (i + 1 >= n) {
            // A backslash with nothing after it has nothing to stand for.
            break;
        }
        const char e = s[i + 1];
        const size_t after = n - (i + 2);  // bytes after the escape letter
        // The one-letter escapes and the bytes they stand for.
        static constexpr char kLetters[] = "bfnrtv";
        static constexpr char kBytes[] = "\b\f\n\r\t\v";
        if (const char* hit = std::strchr(kLetters, e); hit != nullptr && e != '\0') {
            out.push_back(kBytes[hit - kLetters]);
            i += 2;
            continue;
        }
        switch (e) {
            case 'u':
                if (after < 4) {
                    out.push_back('\0');
                    i += 2;
                } else if (isHexDigit(s[i + 2]) && isHexDigit(s[i + 3]) && isHexDigit(s[i + 4]) &&
                           isHexDigit(s[i + 5])) {
                    // One byte only: the low half of the code unit.
                    out.push_back(static_cast<char>(hexValue(s[i + 4]) * 16 + hexValue(s[i + 5])));
                    i += 6;
                } else {
                    out.push_back('u');
                    i += 2;
                }
                break;
            case 'x':
                if (after < 2) {
                    out.push_back('\0');
                    i += 2;
                } else if (isHexDigit(s[i + 2]) && isHexDigit(s[i + 3])) {
                    out.push_back(static_cast<char>(hexValue(s[i + 2]) * 16 + hexValue(s[i + 3])));
                    i += 4;
                } else {
                    out.push_back('x');
                    i += 2;
                }
                break;
            default:
                if (e >= '0' && e <= '7') {
                    if (after < 2) {
                        out.push_back('\0');
                        i += 2;
                    } else {
                        // The two bytes after the first digit are taken as digits
                        // unchecked; only the low 8 bits of the value are kept.
                        const unsigned v = static_cast<unsigned>(e - '0') * 64u +
                                           static_cast<unsigned>(s[i + 2] - '0') * 8u +
                                           static_cast<unsigned>(s[i + 3] - '0');
                        out.push_back(static_cast<char>(v & 0xFFu));
                        i += 4;
                    }
                } else {
                    out.push_back(e);  // \" \\ \/ and any other byte stand for themselves
                    i += 2;
                }
                break;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Nodes.

void JsonNodeData::release(JsonNodeData* node) noexcept {
    if (!node || --node->refs != 0) return;
    // Freed through a list threaded through the nodes themselves, so that
    // neither deep trees nor low memory can exhaust the stack here.
    JsonNodeData* dead = node;
    node->nextDead = nullptr;
    while (dead) {
        JsonNodeData* current = dead;
        dead = current->nextDead;
        for (JsonNode& child : current->children) {
            JsonNodeData* c = std::exchange(child.m_node, nullptr);
            if (c && --c->refs == 0) {
                c->nextDead = dead;
                dead = c;
            }
        }
        if (JsonDoc* doc = current->doc; doc && --doc->refs == 0) delete doc;
        delete current;
    }
}

JsonNodeData* JsonNodeData::copyOf(const JsonNodeData& from) {
    auto* copy = new JsonNodeData;
    try {
        copy->kind = from.kind;
        copy->expanded = from.expanded;
        copy->flag = from.flag;
        copy->begin = from.begin;
        copy->end = from.end;
        copy->opener = from.opener;
        copy->name = from.name;
        copy->decoded = from.decoded;
        // One level only: the children are shared and are themselves copied
        // when reached through a shared handle, which keeps the copy cheap and
        // its cost independent of the depth below.
        copy->children = from.children;
    } catch (...) {
        release(copy);
        throw;
    }
    copy->doc = from.doc;
    if (copy->doc) ++copy->doc->refs;
    return copy;
}

namespace {

JsonNodeData* newChild(JsonDoc* doc, std::string&& name) {
    auto* node = new JsonNodeData;
    node->doc = doc;
    ++doc->refs;
    node->name = std::move(name);
    return node;
}

// Fixes the kind of the value text [b, e) of a container being expanded.
void classify(JsonNodeData* node, size_t b, size_t e, size_t opener) {
    const char* t = node->doc->text.data();
    node->begin = b;
    node->end = e;
    const size_t len = e - b;
    if (len == 0) {
        node->kind = JsonType::Null;
        node->flag = true;  // empty value: text ""
        return;
    }
    const char first = t[b];
    const char last = t[e - 1];
    switch (first) {
        case '"':
            if (len >= 2 && last == '"') {
                node->kind = JsonType::String;
                node->expanded = false;
            }
            return;
        case 'f':
        case 'F':
            if (std::string_view(t + b, len) == "false") node->kind = JsonType::Boolean;
            return;
        case 't':
        case 'T':
            if (std::string_view(t + b, len) == "true") {
                node->kind = JsonType::Boolean;
                node->flag = true;
            }
            return;
        case 'n':
        case 'N':
            return;
        case '[':
        case '{':
            if (last == (first == '[' ? ']' : '}')) {
                node->kind = (first == '[') ? JsonType::Array : JsonType::Object;
                node->expanded = false;
                node->opener = opener;
            } else if (hasNumberForm(t + b, len)) {
                node->kind = JsonType::Number;
            }
            return;
        default:
            if (hasNumberForm(t + b, len)) node->kind = JsonType::Number;
            return;
    }
}

void addChild(JsonNodeData* parent, std::string&& name, size_t b, size_t e, size_t opener) {
    JsonNodeData* child = newChild(parent->doc, std::move(name));
    parent->children.push_back(JsonNodeData::handle(child));  // owns child from here on
    classify(child, b, e, opener);
}

// Malformed content: the container becomes a null node without children.
void turnNull(JsonNodeData* node) {
    node->kind = JsonType::Null;
    node->flag = false;
    std::vector<JsonNode> children = std::move(node->children);
    node->children.clear();
    // `children` releases its nodes iteratively through the handles.
}

// Checks a container's brackets and gives the bounds of its content. False
// when there is nothing to split: the container was malformed (now null) or
// is empty.
bool openContainer(JsonNodeData* node, char open, char close, size_t& pos, size_t& end, size_t& opener) {
    const char* t = node->doc->text.data();
    if (node->end - node->begin < 2 || t[node->begin] != open || t[node->end - 1] != close) {
        turnNull(node);
        return false;
    }
    if (node->end - node->begin == 2) return false;
    pos = node->begin + 1;
    end = node->end - 1;
    opener = node->opener + 1;
    return true;
}

void expandArray(JsonNodeData* node) {
    const JsonDoc& doc = *node->doc;
    const char* t = doc.text.data();
    size_t pos, end, opener;
    if (!openContainer(node, '[', ']', pos, end, opener)) return;
    for (;;) {
        size_t start = pos;
        const size_t startOpener = opener;
        char stop = scanTop(doc, pos, end, opener);
        if (stop == ':') {
            turnNull(node);
            return;
        }
        const size_t pieceEnd = (stop == ',') ? pos : end;
        skipMarkers(t, start, pieceEnd);
        addChild(node, std::string(), start, pieceEnd, startOpener);
        if (stop != ',') return;
        ++pos;
    }
}

void expandObject(JsonNodeData* node) {
    const JsonDoc& doc = *node->doc;
    const char* t = doc.text.data();
    size_t pos, end, opener;
    if (!openContainer(node, '{', '}', pos, end, opener)) return;
    for (;;) {
        const size_t nameStart = pos;
        // The colon search passes over commas.
        char stop;
        while ((stop = scanTop(doc, pos, end, opener)) == ',') ++pos;
        if (stop != ':') {
            turnNull(node);
            return;
        }
        const size_t colon = pos;
        // The name: up to the colon without the byte before it, then without
        // its leading markers, then without its first byte (the opening quote
        // of a quoted name; neither dropped byte is checked).
        size_t nameFrom = nameStart;
        const size_t nameTo = (colon > nameStart + 1) ? colon - 1 : nameStart;
        skipMarkers(t, nameFrom, nameTo);
        if (nameFrom < nameTo) ++nameFrom;
        std::string name;
        decodeInto(t + nameFrom, nameTo - nameFrom, name);

        pos = colon + 1;
        const size_t valueStart = pos;
        const size_t valueOpener = opener;
        while ((stop = scanTop(doc, pos, end, opener)) == ':') ++pos;
        const size_t valueEnd = (stop == ',') ? pos : end;
        addChild(node, std::move(name), valueStart, valueEnd, valueOpener);
        if (stop != ',') return;
        ++pos;
    }
}

}  // namespace

void JsonNodeData::expand(JsonNodeData* node) noexcept {
    if (node->expanded) return;
    node->expanded = true;
    try {
        switch (node->kind) {
            case JsonType::Array:
                expandArray(node);
                break;
            case JsonType::Object:
                expandObject(node);
                break;
            case JsonType::String: {
                const char* t = node->doc->text.data();
                decodeInto(t + node->begin + 1, node->end - node->begin - 2, node->decoded);
                break;
            }
            default:
                break;
        }
    } catch (...) {
        // Out of memory: what cannot be built reads as a null node.
        node->decoded.clear();
        turnNull(node);
    }
}

JsonNode::JsonNode(const JsonNode& other) noexcept : m_node(other.m_node) {
    if (m_node) ++m_node->refs;
}

JsonNode& JsonNode::operator=(const JsonNode& other) noexcept {
    if (this != &other) {
        // Take the new node before letting go of the old one: `other` may be
        // a child handle owned by the node this handle releases.
        JsonNodeData* old = m_node;
        m_node = other.m_node;
        if (m_node) ++m_node->refs;
        JsonNodeData::release(old);
    }
    return *this;
}

JsonNode::JsonNode(JsonNode&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}

JsonNode& JsonNode::operator=(JsonNode&& other) noexcept {
    if (this != &other) {
        JsonNodeData* old = m_node;
        m_node = std::exchange(other.m_node, nullptr);
        JsonNodeData::release(old);
    }
    return *this;
}

JsonNode::~JsonNode() {
    JsonNodeData::release(m_node);
}

JsonType JsonNode::type() const noexcept {
    return m_node ? m_node->kind : JsonType::Null;
}

std::string JsonNode::name() const {
    if (!m_node) return std::string();
    try {
        return m_node->name;
    } catch (...) {
        return std::string();
    }
}

std::string JsonNode::asString() const {
    if (!m_node) return std::string();
    JsonNodeData::expand(m_node);
    try {
        switch (m_node->kind) {
            case JsonType::Null:
                return m_node->flag ? std::string() : std::string("null");
            case JsonType::String:
                return m_node->decoded;
            case JsonType::Number:
                return std::string(m_node->doc->text.data() + m_node->begin, m_node->end - m_node->begin);
            case JsonType::Boolean:
                return m_node->flag ? std::string("true") : std::string("false");
            default:
                return std::string();
        }
    } catch (...) {
        return std::string();
    }
}

uint32_t JsonNode::size() const {
    if (!m_node) return 0;
    JsonNodeData::expand(m_node);
    if (m_node->kind != JsonType::Array && m_node->kind != JsonType::Object) return 0;
    // The count is cut at what the result can hold; children beyond it stay
    // out of reach rather than wrapping around to low indexes.
    const size_t count = m_node->children.size();
    return count > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                        : static_cast<uint32_t>(count);
}

JsonNode* JsonNode::at(uint32_t index) {
    if (!m_node) return nullptr;
    JsonNodeData::expand(m_node);
    if (m_node->kind != JsonType::Array && m_node->kind != JsonType::Object) return nullptr;
    if (index >= m_node->children.size()) return nullptr;
    if (m_node->refs > 1) {
        JsonNodeData* own;
        try {
            own = JsonNodeData::copyOf(*m_node);
        } catch (...) {
            return nullptr;
        }
        --m_node->refs;  // still held by the other handles
        m_node = own;
    }
    return &m_node->children[index];
}

JsonNode* JsonParse(const char* text) {
    if (!text) return nullptr;
    JsonDoc* doc = nullptr;
    try {
        doc = new JsonDoc;
        if (!jsontext::prepare(text, std::strlen(text), doc->text, &doc->groups)) {
            delete doc;
            return nullptr;
        }
        const std::string& t = doc->text;
        size_t first = 0;
        skipMarkers(t.data(), first, t.size());
        const char open = first < t.size() ? t[first] : '\0';
        const char close = open == '[' ? ']' : '}';
        if ((open != '[' && open != '{') || t.size() - first < 2 || t.back() != close) {
            delete doc;
            return nullptr;
        }
        auto* root = new JsonNodeData;
        root->doc = doc;
        doc->refs = 1;
        doc = nullptr;
        root->kind = (open == '[') ? JsonType::Array : JsonType::Object;
        root->expanded = false;
        root->begin = first;
        root->end = t.size();
        root->opener = 0;  // markers hold no brackets, so the root's is the first
        try {
            return new JsonNode(root);
        } catch (...) {
            JsonNodeData::release(root);
            return nullptr;
        }
    } catch (...) {
        delete doc;
        return nullptr;
    }
}
