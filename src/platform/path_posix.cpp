#include "platform/path.h"

#include "platform/text.h"

namespace platform {

std::string toSystemPath(std::wstring_view path) {
    std::string out = wideToUtf8(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

}  // namespace platform
