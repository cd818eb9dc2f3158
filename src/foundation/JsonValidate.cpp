#include <cstring>
#include <string>

#include "foundation/Json.h"
#include "foundation/JsonText.h"

namespace jsontext {

// The validity check, on the compact text without comments. Iterative: the
// nesting bound keeps the kind stack at a fixed size.

namespace {

// The root is level 1; a container at level 129 makes a text invalid.
constexpr size_t kMaxValidDepth = 128;

bool validStringBody(const char* t, size_t n, size_t& i) {
    while (i < n) {
        const char c = t[i];
        if (c == '"') {
            ++i;
            return true;
        }
        if (c != '\\') {
            ++i;
            continue;
        }
        if (i + 1 >= n) return false;
        switch (t[i + 1]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                i += 2;
                break;
            case 'u':
                if (n - i < 6 || !isHexDigit(t[i + 2]) || !isHexDigit(t[i + 3]) || !isHexDigit(t[i + 4]) ||
                    !isHexDigit(t[i + 5]))
                    return false;
                i += 6;
                break;
            case 'x':
                if (n - i < 4 || !isHexDigit(t[i + 2]) || !isHexDigit(t[i + 3])) return false;
                i += 4;
                break;
            default:
                return false;
        }
    }
    return false;
}

// A member name's string body, then ':'.
bool validMemberHead(const char* t, size_t n, size_t& i) {
    if (!validStringBody(t, n, i)) return false;
    if (i >= n || t[i] != ':') return false;
    ++i;
    return true;
}

bool matchWord(const char* t, size_t n, size_t& i, const char* word) {
    const size_t len = std::strlen(word);
    if (n - i < len) return false;
    for (size_t k = 0; k < len; ++k) {
        char c = t[i + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[k]) return false;
    }
    i += len;
    return true;
}

// Returns the end of the number that starts at i; the byte there is checked by
// the enclosing container.
size_t numberEnd(const char* t, size_t n, size_t i) {
    if (t[i] == '0' && i + 1 < n && t[i + 1] == 'x') {
        i += 2;
        while (i < n && isHexDigit(t[i])) ++i;
        return i;
    }
    bool dot = (t[i] == '.');
    bool exponent = false;
    ++i;
    while (i < n) {
        const char c = t[i];
        if (isDigit(c)) {
            ++i;
        } else if (c == '.' && !dot && !exponent) {
            dot = true;
            ++i;
        } else if ((c == 'e' || c == 'E') && !exponent && i + 1 < n &&
                   (t[i + 1] == '+' || t[i + 1] == '-' || isDigit(t[i + 1]))) {
            exponent = true;
            i += 2;
        } else {
            break;
        }
    }
    return i;
}

}  // namespace

bool validCompact(const std::string& text) {
    const char* t = text.data();
    const size_t n = text.size();
    char kinds[kMaxValidDepth];
    size_t depth = 0;
    size_t i = 0;
    bool expectValue = true;
    for (;;) {
        if (expectValue) {
            if (i >= n) return false;
            const char c = t[i];
            if (c == '{' || c == '[') {
                if (depth == kMaxValidDepth) return false;
                kinds[depth++] = c;
                ++i;
                const char close = (c == '{') ? '}' : ']';
                if (i < n && t[i] == close) {
                    ++i;
                    --depth;
                    expectValue = false;
                } else if (c == '{') {
                    if (i >= n || t[i] != '"') return false;
                    ++i;
                    if (!validMemberHead(t, n, i)) return false;
                }
                continue;
            }
            if (depth == 0) return false;  // the root must be an object or array
            if (c == '"') {
                ++i;
                if (!validStringBody(t, n, i)) return false;
            } else if (c == ',' || c == ']' || c == '}') {
                // an empty value
            } else if (c == 't' || c == 'T') {
                if (!matchWord(t, n, i, "true")) return false;
            } else if (c == 'f' || c == 'F') {
                if (!matchWord(t, n, i, "false")) return false;
            } else if (c == 'n' || c == 'N') {
                if (!matchWord(t, n, i, "null")) return false;
            } else if (c == '+' || c == '-' || c == '.' || isDigit(c)) {
                i = numberEnd(t, n, i);
            } else {
                return false;
            }
            expectValue = false;
            continue;
        }
        if (depth == 0) return i == n;
        if (i >= n) return false;
        const char c = t[i];
        const char kind = kinds[depth - 1];
        if (c == ',') {
            ++i;
            if (i >= n) return false;
            if (kind == '{') {
                ++i;  // taken as the name's opening quote, unchecked
                if (!validMemberHead(t, n, i)) return false;
            }
            expectValue = true;
            continue;
        }
        if ((kind == '[' && c == ']') || (kind == '{' && c == '}')) {
            ++i;
            --depth;
            continue;
        }
        return false;
    }
}

}  // namespace jsontext

// Longest text JsonIsValid accepts; longer texts are refused without being read
// past this bound.
constexpr size_t kMaxValidLength = 33554432;

bool JsonIsValid(const char* text) {
    if (!text) return false;
    const size_t n = strnlen(text, kMaxValidLength + 1);
    if (n > kMaxValidLength) return false;
    try {
        std::string compact;
        if (!jsontext::prepare(text, n, compact, nullptr)) return false;
        return jsontext::validCompact(compact);
    } catch (...) {
        return false;
    }
}
