#include "foundation/JsonText.h"

#include <cstring>

namespace jsontext {

bool prepare(const char* in, size_t n, std::string& out, std::vector<Group>* groups) {
    out.clear();
    out.reserve(n);
    std::vector<size_t> squareOpen;
    std::vector<size_t> curlyOpen;

    auto keepComment = [&](size_t from, size_t to) {
        if (!groups) return;
        out.push_back('#');
        for (size_t k = from; k < to; ++k) {
            if (in[k] != '#') out.push_back(in[k]);
        }
        out.push_back('#');
    };

    size_t i = 0;
    while (i < n) {
        const char c = in[i];
        switch (c) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
                ++i;
                continue;
            case '"': {
                size_t j = i + 1;
                for (;;) {
                    if (j >= n) {
                        // The input ends inside the string: so does the compact text.
                        out.append(in + i, n - i);
                        return true;
                    }
                    const char d = in[j];
                    if (d == '"') {
                        ++j;
                        break;
                    }
                    j += (d == '\\') ? 2 : 1;
                }
                out.append(in + i, j - i);
                i = j;
                continue;
            }
            case '/':
                if (in[i + 1] == '*') {
                    const std::string_view rest(in + i + 2, n - (i + 2));
                    const size_t close = rest.find("*/");
                    if (close == std::string_view::npos) return false;
                    keepComment(i + 2, i + 2 + close);
                    i += 2 + close + 2;
                    continue;
                }
                if (in[i + 1] != '/') return true;  // a lone '/' ends the text
                i += 1;
                [[fallthrough]];
            case '#': {
                const size_t from = i + 1;
                const void* lf = std::memchr(in + from, '\n', n - from);
                const size_t to = lf ? static_cast<size_t>(static_cast<const char*>(lf) - in) : n;
                keepComment(from, to);
                i = to;
                continue;
            }
            default:
                break;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E) return true;  // the rest of the input is ignored
        if (groups) {
            if (c == '[' || c == '{') {
                (c == '[' ? squareOpen : curlyOpen).push_back(groups->size());
                groups->emplace_back();
            } else if (c == ']' || c == '}') {
                auto& open = (c == ']') ? squareOpen : curlyOpen;
                if (!open.empty()) {
                    Group& g = (*groups)[open.back()];
                    open.pop_back();
                    g.closer = out.size();
                    g.next = groups->size();
                }
            }
        }
        out.push_back(c);
        ++i;
    }
    return true;
}

}  // namespace jsontext
