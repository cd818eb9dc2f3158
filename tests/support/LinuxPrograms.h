// The project's Linux tools (the reference update service, mkpackage) as the
// tests run them. The Windows tests run the Linux build's programs through
// Wine, by their Z: path; a path of the tests' own folders (drive C:, the
// prefix's) is handed to such a program as the Linux path it stands for.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// Path of a Linux tool of this project: the build tree's own on Linux, the
// Linux build tree's (GL_LINUX_BUILD_DIR) on Windows.
std::filesystem::path linuxProgram(const std::string& relative);

// `path` as a Linux program sees it.
std::string linuxPath(const std::filesystem::path& path);

}  // namespace testsupport
