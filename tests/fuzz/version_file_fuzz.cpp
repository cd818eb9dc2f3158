// The version file over arbitrary contents: written to a real file and read
// the way start-up reads it, so the line reading is fuzzed with the parse.
// Whatever the bytes, the result is one of the four codes and the version is
// a terminated text of at most 31 bytes inside its 32-byte buffer.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/VersionFile.h"
#include "platform/text.h"

namespace {

std::wstring g_folder;
std::string g_folderPath;
std::string g_file;

void removeScratch() {
    ::unlink(g_file.c_str());
    ::rmdir(g_folderPath.c_str());
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No log file: a log that takes a line per input would only fill the disk.
    setenv("HOME", "/dev/null/fuzz", 1);
    setenv("XDG_CONFIG_HOME", "/dev/null/fuzz", 1);
    // Memory-backed when there is such a folder: rewriting a file per input
    // on a disk that discards freed blocks is what would dominate the run.
    char shm[] = "/dev/shm/version_file_fuzz-XXXXXX";
    char tmp[] = "/tmp/version_file_fuzz-XXXXXX";
    const char* folder = mkdtemp(shm);
    if (folder == nullptr) folder = mkdtemp(tmp);
    if (folder == nullptr) __builtin_trap();
    g_folderPath = folder;
    g_folder = platform::utf8ToWide(folder);
    g_file = g_folderPath + "/gamelauncher.db";
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_file.c_str(), "wb");
    if (f == nullptr) __builtin_trap();
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    // Exact-size heap buffer: a write past it is caught.
    char* version = new char[32]();
    const int res = praseVersionFile(g_folder.c_str(), version);
    check(res == 0 || res == -3);
    check(std::memchr(version, '\0', 32) != nullptr);
    // A version is there exactly when the code says so (an empty file has
    // no line at all: 0 without a version).
    check((res == 0 && size > 0) == (version[0] != '\0'));
    delete[] version;

    char line[32] = {};
    const int direct = parseVersionLine(std::string_view(reinterpret_cast<const char*>(data), size), line);
    check(direct == 0 || direct == -3);
    check((direct == 0) == (line[0] != '\0'));
    return 0;
}
