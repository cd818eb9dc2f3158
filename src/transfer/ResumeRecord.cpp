#include "transfer/ResumeRecord.h"

#include <charconv>
#include <string_view>

#include "platform/file.h"

namespace {

constexpr std::string_view kHeader = "resume 1\n";
// The url (1,024 bytes), the MD5 (64) and the numbers fit well within this;
// a longer file is not a record of ours and is not read.
constexpr uint64_t kMaxRecordBytes = 4096;

std::wstring tempPath(const std::wstring& recordPath) {
    return recordPath + L".tmp";
}

// Takes "<key>=<value>\n" off the front of `text`.
bool takeLine(std::string_view& text, std::string_view key, std::string_view& value) {
    if (text.substr(0, key.size()) != key || text.size() <= key.size() || text[key.size()] != '=') return false;
    const std::size_t end = text.find('\n', key.size() + 1);
    if (end == std::string_view::npos) return false;
    value = text.substr(key.size() + 1, end - key.size() - 1);
    text.remove_prefix(end + 1);
    return true;
}

bool takeNumber(std::string_view& text, std::string_view key, uint32_t& out) {
    std::string_view value;
    if (!takeLine(text, key, value) || value.empty() || value.size() > 10) return false;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
    }
    const auto [next, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
    return ec == std::errc() && next == value.data() + value.size();
}

}  // namespace

std::wstring resumeRecordPath(const std::wstring& target) {
    return target + L".resume";
}

bool hasResumeRecord(const std::wstring& target) {
    const std::wstring record = resumeRecordPath(target);
    return platform::pathExists(record) || platform::pathExists(tempPath(record));
}

bool readResumeRecord(const std::wstring& recordPath, ResumeRecord& out) {
    platform::File file;
    uint64_t size = 0;
    if (!file.open(recordPath, platform::File::Access::Read, platform::File::Disposition::OpenExisting) ||
        !file.size(size) || size > kMaxRecordBytes) {
        return false;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const int64_t n = file.read(text.data() + got, text.size() - got);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    std::string_view rest = text;
    if (rest.substr(0, kHeader.size()) != kHeader) return false;
    rest.remove_prefix(kHeader.size());
    std::string_view url;
    std::string_view md5;
    ResumeRecord r;
    if (!takeLine(rest, "url", url) || !takeLine(rest, "md5", md5) || !takeNumber(rest, "size", r.fileSize) ||
        !takeNumber(rest, "piece", r.pieceSize) || !takeNumber(rest, "written", r.written) || rest != "end\n") {
        return false;
    }
    r.url = url;
    r.md5 = md5;
    out = std::move(r);
    return true;
}

bool writeResumeRecord(const std::wstring& recordPath, const ResumeRecord& record) {
    if (record.url.find('\n') != std::string::npos || record.md5.find('\n') != std::string::npos) return false;
    // The closing line shows the record was written to its end.
    const std::string text = std::string(kHeader) + "url=" + record.url + "\nmd5=" + record.md5 +
                             "\nsize=" + std::to_string(record.fileSize) +
                             "\npiece=" + std::to_string(record.pieceSize) +
                             "\nwritten=" + std::to_string(record.written) + "\nend\n";
    const std::wstring temp = tempPath(recordPath);
    platform::File file;
    if (!file.open(temp, platform::File::Access::Write, platform::File::Disposition::CreateAlways)) return false;
    const bool written = file.write(text.data(), text.size());
    file.close();
    return written && platform::replaceFile(temp, recordPath);
}

bool removeResumeRecord(const std::wstring& recordPath) {
    bool ok = true;
    for (const std::wstring& path : {recordPath, tempPath(recordPath)}) {
        if (platform::pathExists(path) && !platform::deleteFile(path)) ok = false;
    }
    return ok;
}
