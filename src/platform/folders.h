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

// The folder for per-user runtime objects (markers, the launcher pipe):
// $XDG_RUNTIME_DIR when set and absolute; else "/tmp/gamelauncher-<uid>",
// created with mode 0700. That fallback is refused (false, last error
// EACCES) when it is not a real folder owned by this user or others may
// write into it, so another local user can neither fake a running launcher
// nor block the single-instance guard. No trailing separator.
bool runtimeFolder(std::string& out);

}  // namespace platform
