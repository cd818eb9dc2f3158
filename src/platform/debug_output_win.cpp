// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include "platform/debug_output.h"

namespace platform {

void debugOutput(const char* text) {
    if (text != nullptr) ::OutputDebugStringA(text);
}

void debugOutputW(const wchar_t* text) {
    if (text != nullptr) ::OutputDebugStringW(text);
}

}  // namespace platform

#endif  // _WIN32
