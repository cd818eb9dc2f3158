// The per-user folders: on Windows the shell's known folders, elsewhere the
// XDG folders that stand in for them. Both are
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
// $XDG_RUNTIME_DIR when set, absolute, and a real folder (not a link) of
// this user's own that neither group nor others may write into; else
// "<localAppDataFolder>/gamelauncher-runtime", created with mode 0700. A
// shared /tmp is never used: another local user could create the folder
// there first and so block every update. That fallback is refused (false,
// last error EACCES) when it is not a real folder of this user's own or
// group or others may write into it, so another local user can neither
// fake a running launcher nor read what is sent to it. False, with the last
// error set, also when the fallback cannot be made. No trailing separator.
//
// The fallback's path may be longer than a socket address holds; the pipe
// reaches it through a descriptor of the folder (local_pipe_posix.cpp).
//
// On Windows the per-user objects are named kernel objects, and this is the
// logon session's own namespace, "Local" (an object "Local\<name>"): private
// to the session's user by the system's rule, so it is never refused.
bool runtimeFolder(std::string& out);

}  // namespace platform
