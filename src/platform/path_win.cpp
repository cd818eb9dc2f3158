// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include "platform/path.h"

namespace platform {

// The "\\?\" form is not added: paths are bounded at 260 characters, and that
// form would also switch off the system's own checks of the name.
SystemPath toSystemPath(std::wstring_view path) {
    std::wstring out(path);
    for (wchar_t& c : out) {
        if (c == L'/') c = L'\\';
    }
    return out;
}

}  // namespace platform

#endif  // _WIN32
