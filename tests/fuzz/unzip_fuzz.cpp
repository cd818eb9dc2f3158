// UnZipFile over arbitrary bytes, through both entries: the bytes as a file
// and the bytes held in memory. Each extracts into its own private temporary
// folder, emptied after every input. Both must give the same code and the
// same files, and nothing may ever land outside the destination.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "foundation/ZipUtil.h"

namespace fs = std::filesystem;

namespace {

const fs::path& workFolder() {
    static const fs::path folder = [] {
        std::string templ = (fs::temp_directory_path() / "unzip_fuzz-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) std::abort();
        return fs::path(templ);
    }();
    return folder;
}

// Relative name -> size (or -1 for a folder) of everything below `root`.
std::map<std::string, long long> snapshot(const fs::path& root) {
    std::map<std::string, long long> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code sizeEc;
        const bool folder = it->is_directory(sizeEc);
        out[it->path().lexically_relative(root).string()] =
            folder ? -1 : static_cast<long long>(it->file_size(sizeEc));
    }
    return out;
}

void clearFolder(const fs::path& folder) {
    std::error_code ec;
    // Extracted files may be read-only.
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, ec);
    }
    fs::remove_all(folder, ec);
}

bool knownCode(int32_t rc) {
    return rc == kZipOk || rc == kZipOpenFailed || rc == kZipTargetLocked || rc == kZipCreateFailed ||
           rc == kZipWriteFailed || rc == kZipNoSpace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path archive = workFolder() / "input.zip";
    const fs::path fromMemory = workFolder() / "dest-memory";
    const fs::path fromFile = workFolder() / "dest-file";

    FILE* f = std::fopen(archive.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();

    const int32_t rcMemory = getZipUtil()->UnZipMemory(data, size, fromMemory.wstring().c_str());
    const int32_t rcFile = getZipUtil()->UnZipFile(archive.wstring().c_str(), fromFile.wstring().c_str());
    if (!knownCode(rcMemory) || rcMemory != rcFile) {
        std::fprintf(stderr, "memory entry gave %d, file entry %d\n", rcMemory, rcFile);
        std::abort();
    }
    if (snapshot(fromMemory) != snapshot(fromFile)) std::abort();

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(workFolder(), ec)) {
        const fs::path name = entry.path().filename();
        if (name != "input.zip" && name != "dest-memory" && name != "dest-file") std::abort();
    }
    clearFolder(fromMemory);
    clearFolder(fromFile);
    return 0;
}
