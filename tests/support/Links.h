// Links planted where a test expects the program to meet one: a symbolic
// link on Linux; on Windows a symbolic link or a junction (the reparse
// points that carry a path elsewhere). Under Wine, whose CreateSymbolicLinkW
// makes nothing and which has no junctions, a symbolic link is the Unix one
// Wine itself shows as a reparse point.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

enum class LinkKind {
    File,      // a symbolic link to a file (or to nothing yet)
    Folder,    // a symbolic link to a folder
    Junction,  // Windows: a mount-point reparse point; Linux: a folder link
};

// Plants `link` pointing to `target`. Empty when it took; otherwise why the
// system cannot make that kind of link, for the test to write beside the
// case it leaves out.
std::string plantLink(const std::filesystem::path& target, const std::filesystem::path& link, LinkKind kind);

// Whether this process runs under Wine (false on Linux).
bool runningUnderWine();

// Whether the entry `path` itself is a link (on Windows: a reparse point),
// whatever it points to.
bool isLink(const std::filesystem::path& path);

}  // namespace testsupport
