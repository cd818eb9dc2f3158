// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <objbase.h>
#include <windows.h>

#include "platform/com.h"

namespace platform {

bool initializeCom() { return SUCCEEDED(::CoInitialize(nullptr)); }

void uninitializeCom() { ::CoUninitialize(); }

}  // namespace platform

#endif  // _WIN32
