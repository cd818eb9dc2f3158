#include "ui/toolkit/SkinArchive.h"

#include <vector>

#include "foundation/ZipReader.h"
#include "platform/file.h"
#include "platform/text.h"

namespace ui {

SkinArchive::SkinArchive() = default;
SkinArchive::~SkinArchive() = default;

bool SkinArchive::openZip(std::string bytes) {
    m_folder.clear();
    m_bytes = std::move(bytes);
    m_zip = std::make_unique<ZipReader>();
    std::vector<ZipReader::Member> members;
    if (!m_zip->openMemory(m_bytes.data(), m_bytes.size()) || !m_zip->readDirectory(members)) {
        m_zip.reset();
        return false;
    }
    return true;
}

void SkinArchive::openFolder(std::wstring folder) {
    m_zip.reset();
    m_bytes.clear();
    m_folder = std::move(folder);
}

bool SkinArchive::read(const std::string& name, std::string& out) {
    if (m_zip) return m_zip->readWhole(name, out, kMaxFileBytes);
    if (m_folder.empty()) return false;
    platform::File file;
    uint64_t size = 0;
    if (!file.open(m_folder + platform::utf8ToWide(name), platform::File::Access::Read,
                   platform::File::Disposition::OpenExisting) ||
        !file.size(size) || size > kMaxFileBytes) {
        return false;
    }
    out.clear();
    char buffer[65536];
    for (;;) {
        const int64_t n = file.read(buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<std::size_t>(n));
        // A file that grows while it is read is held to the same bound.
        if (out.size() > kMaxFileBytes) return false;
    }
}

}  // namespace ui
