// The per-user folders that stand in for the Windows shell folders. Both are
// created (with every missing parent) when missing; the result has no
// trailing separator. False, with the last error set, when neither the XDG
// variable nor HOME gives a usable absolute path, or the folder cannot be
// created.
#pragma once

#include <string>

namespace platform {

// CSIDL_APPDATA: $XDG_CONFIG_HOME, else $HOME/.config.
bool roamingAppDataFolder(std::wstring& out);

// CSIDL_LOCAL_APPDATA: $XDG_DATA_HOME, else $HOME/.local/share.
bool localAppDataFolder(std::wstring& out);

// The folder for per-user runtime objects (markers, the pipe):
// $XDG_RUNTIME_DIR when set and absolute, else empty (callers then fall
// back to /tmp with the user id in the name).
std::string runtimeFolder();

}  // namespace platform
