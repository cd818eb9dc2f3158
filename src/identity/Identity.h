// The names of the game's identity that have no other home: the window's
// class, the crash report's application name and the string table. The
// markers and the pipe are in gamelauncher/LauncherProtocol.h, the folders'
// kProductFolder in foundation/SystemUtil.h. All are defined in one
// generated translation unit (library gl_identity) from the identity file,
// packaging/identity.cmake by default; a program built with another
// identity links that one's unit instead.
#pragma once

#include <cstddef>
#include <cstdint>

namespace identity {

extern const char* const kWindowClass;
extern const wchar_t* const kCrashApplicationName;

// One text of the string table, UTF-8.
struct StringText {
    uint32_t id;
    const char* utf8;
};
extern const StringText kStrings[];
extern const std::size_t kStringCount;

}  // namespace identity
