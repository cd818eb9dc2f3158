#include "ui/toolkit/SkinArchive.h"

#include <QFile>

#include <map>
#include <string>

#include "foundation/ZipReader.h"

namespace ui {

namespace {
// A skin picture or document is a few hundred kilobytes at most; anything
// far larger is not a skin file and is not read into memory.
constexpr std::size_t kMaxSkinFileBytes = 16u << 20;
}  // namespace

SkinArchive::SkinArchive() = default;
SkinArchive::~SkinArchive() = default;

bool SkinArchive::openZip(QByteArray bytes) {
    m_images.clear();
    m_folder.clear();
    m_bytes = std::move(bytes);
    m_zip = std::make_unique<ZipReader>();
    std::vector<ZipReader::Member> members;
    if (!m_zip->openMemory(m_bytes.constData(), static_cast<std::size_t>(m_bytes.size())) ||
        !m_zip->readDirectory(members)) {
        m_zip.reset();
        return false;
    }
    return true;
}

void SkinArchive::openFolder(const QString& folder) {
    m_images.clear();
    m_zip.reset();
    m_folder = folder;
}

bool SkinArchive::read(const QString& name, QByteArray& out) {
    if (m_zip) {
        std::string bytes;
        if (!m_zip->readWhole(name.toStdString(), bytes, kMaxSkinFileBytes)) return false;
        out = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
        return true;
    }
    if (m_folder.isEmpty()) return false;
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QFile file(m_folder + path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > static_cast<qint64>(kMaxSkinFileBytes)) return false;
    out = file.readAll();
    return true;
}

QImage SkinArchive::image(const QString& name) {
    if (name.isEmpty()) return {};
    QString key = name;
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    auto it = m_images.find(key);
    if (it != m_images.end()) return it->second;
    QByteArray bytes;
    QImage image;
    if (read(name, bytes)) image.loadFromData(bytes);
    if (!image.isNull()) image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_images.emplace(key, image);
    return image;
}

}  // namespace ui
