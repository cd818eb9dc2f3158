// The sample game launcher (tools/sample-launcher) around the upgrade
// workflow's tests: packages that carry it as client/launcher.exe, a copy
// started beforehand with options, its records read back, and every copy
// that runs ended afterwards.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The built sample launcher (on Windows: launcher.exe).
std::filesystem::path sampleLauncherProgram();

// Waits (polling; the marker's holder is another process) until the launcher
// marker is held (`held`) or free; false after `timeoutMs`.
bool waitLauncherMarker(bool held, int timeoutMs = 20000);

// Waits until `path` exists; false after `timeoutMs`.
bool waitForFile(const std::filesystem::path& path, int timeoutMs = 20000);

// The starts recorded in `<client folder>/launcher.args`: for each start,
// its pid and its arguments.
struct LauncherStart {
    int pid = 0;
    std::vector<std::string> args;
};
std::vector<LauncherStart> launcherStarts(const std::filesystem::path& clientFolder);
// Waits until `count` starts are recorded there; false after `timeoutMs`.
bool waitLauncherStarts(const std::filesystem::path& clientFolder, std::size_t count, int timeoutMs = 20000);

// The messages recorded in `<client folder>/launcher.messages`, one line each
// ("id=0x80 command=0 length=0 data=").
std::vector<std::string> launcherMessages(const std::filesystem::path& clientFolder);

// Ends every launcher recorded in `clientFolder` that still runs (SIGTERM;
// on Windows its stop event)
// and waits until the marker is free and those processes are gone. Empty
// when they are; otherwise what still runs, for a test to report.
std::string stopLaunchers(const std::filesystem::path& clientFolder);

// Lays out `folder` as an installed launcher: client/launcher.exe (a copy of
// the built sample launcher) and the extra files given, then runs mkpackage
// into `zip` with `version`. Returns the package's MD5 (empty on failure).
std::string makeLauncherPackage(const std::filesystem::path& folder, const std::string& version,
                                const std::filesystem::path& zip,
                                const std::vector<std::pair<std::string, std::string>>& extraFiles = {});

// MD5 of `bytes` as 32 lower-case hexadecimal digits.
std::string md5Hex(const std::string& bytes);

}  // namespace testsupport
