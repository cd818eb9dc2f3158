// The skin's files: a ZIP archive held in memory (the compiled-in resource)
// or a plain folder. Names may use "\" or "/" as the separator. The files
// come out as they are stored: pictures stay encoded, for the backend to
// decode.
//
// UI thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class ZipReader;

namespace ui {

class SkinArchive {
public:
    // A skin picture or document is a few hundred kilobytes at most; a file
    // far larger is not a skin file and is not read into memory.
    static constexpr std::size_t kMaxFileBytes = 16u << 20;

    SkinArchive();
    ~SkinArchive();
    SkinArchive(const SkinArchive&) = delete;
    SkinArchive& operator=(const SkinArchive&) = delete;

    // Takes the archive's bytes. False when they are not a readable ZIP
    // archive.
    bool openZip(std::string bytes);
    // Takes files from `folder` (ending in a separator) instead.
    void openFolder(std::wstring folder);

    // The whole file `name` (UTF-8); false when there is none, it is larger
    // than kMaxFileBytes or it cannot be read.
    bool read(const std::string& name, std::string& out);

private:
    std::string m_bytes;  // the reader works on these
    std::unique_ptr<ZipReader> m_zip;
    std::wstring m_folder;
};

}  // namespace ui
