// The skin's files: a ZIP archive held in memory (the compiled-in resource)
// or a plain folder. Names may use "\" or "/" as the separator.
//
// UI thread only.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <map>
#include <memory>

class ZipReader;

namespace ui {

class SkinArchive {
public:
    SkinArchive();
    ~SkinArchive();
    SkinArchive(const SkinArchive&) = delete;
    SkinArchive& operator=(const SkinArchive&) = delete;

    // Takes the archive's bytes. False when they are not a readable ZIP
    // archive.
    bool openZip(QByteArray bytes);
    // Takes files from `folder` instead.
    void openFolder(const QString& folder);

    // The whole file `name`; false when there is none or it cannot be read.
    bool read(const QString& name, QByteArray& out);
    // The picture `name`, decoded once and kept; a null image when it is
    // missing or not a picture.
    QImage image(const QString& name);

private:
    QByteArray m_bytes;  // the reader works on these
    std::unique_ptr<ZipReader> m_zip;
    QString m_folder;
    std::map<QString, QImage> m_images;
};

}  // namespace ui
