// UnZipFile's reader and writer over arbitrary bytes, through the in-memory
// entry (the same reader as for files), extracting into a private temporary
// folder that is emptied after every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "foundation/ZipUtil.h"

namespace {

const std::filesystem::path& workFolder() {
    static const std::filesystem::path folder = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "unzip_fuzz-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) std::abort();
        return std::filesystem::path(templ);
    }();
    return folder;
}

void clearFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    // Extracted files and folders may be read-only.
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ec);
    }
    std::filesystem::remove_all(folder, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path dest = workFolder() / "dest";
    const int32_t rc = getZipUtil()->UnZipMemory(data, size, dest.wstring().c_str());
    switch (rc) {
        case kZipOk:
        case kZipOpenFailed:
        case kZipTargetLocked:
        case kZipCreateFailed:
        case kZipWriteFailed:
            break;
        default:
            std::abort();  // a code outside the contract
    }
    // Nothing may ever land beside the destination.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(workFolder(), ec)) {
        if (entry.path().filename() != "dest") std::abort();
    }
    clearFolder(dest);
    return 0;
}
