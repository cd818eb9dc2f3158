#include "ReportFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Symbolizer.h"
#include "crash/CrashReportFormat.h"

namespace crashsender {

namespace {

// The whole of a plain file (no link followed), at most `limit` bytes.
bool readPlainFile(const std::string& path, std::size_t limit, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[65536];
    while (out.size() < limit) {
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool isPlainFile(const std::string& path, long long& bytes) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bytes = static_cast<long long>(st.st_size);
    return true;
}

bool writeAtomically(const std::string& path, const std::string& bytes) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == bytes.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// The memory map is outside input too; a real one is far below this.
constexpr std::size_t kMaxMapsBytes = 8u << 20;

}  // namespace

bool loadReport(const std::string& folder, ReportFolder& out, std::string& error) {
    out = ReportFolder{};
    out.path = folder;
    while (out.path.size() > 1 && out.path.back() == '/') out.path.pop_back();
    const std::size_t slash = out.path.find_last_of('/');
    out.id = slash == std::string::npos ? out.path : out.path.substr(slash + 1);
    std::string text;
    if (!readPlainFile(out.path + "/" + crashreport::kDescriptionFile, kMaxDescriptionBytes, text)) {
        error = "Cannot read the crash description in " + out.path + ": " + std::strerror(errno) + ".";
        return false;
    }
    if (!parseCrashDescription(text, out.description)) {
        error = "The crash description in " + out.path + " is not in a format this sender knows.";
        return false;
    }
    long long ignored = 0;
    out.complete = isPlainFile(out.path + "/" + crashreport::kCompleteMark, ignored);
    for (const AttachedFile& f : out.description.files) {
        Attachment a;
        a.file = f;
        a.path = out.path + "/" + crashreport::kFilesFolder + "/" + f.name;
        a.present = f.copiedBytes >= 0 && isPlainFile(a.path, a.bytes);
        a.optional = (f.flags & crashreport::kFileFlagAllowDelete) != 0;
        out.attachments.push_back(std::move(a));
    }
    return true;
}

bool writeSymbolised(ReportFolder& report, std::string& error) {
    std::string mapsText;
    readPlainFile(report.path + "/" + crashreport::kMapsFile, kMaxMapsBytes, mapsText);
    Symbolizer symbolizer(report.description, parseMaps(mapsText));
    report.symbolised = symbolisedReport(report.description, symbolizer, report.complete);
    if (!writeAtomically(report.path + "/" + kSymbolisedFile, report.symbolised)) {
        error = "Cannot write " + report.path + "/" + kSymbolisedFile + ": " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

std::vector<UploadPart> uploadParts(const ReportFolder& report, const std::vector<bool>& include) {
    const CrashDescription& d = report.description;
    std::vector<UploadPart> parts;
    parts.push_back({"app", "", "", d.app});
    parts.push_back({"version", "", "", d.version});
    parts.push_back({"report", "", "", report.id});
    parts.push_back({"crash", crashreport::kDescriptionFile, report.path + "/" + crashreport::kDescriptionFile, ""});
    long long bytes = 0;
    const std::string symbolised = report.path + "/" + kSymbolisedFile;
    if (isPlainFile(symbolised, bytes)) parts.push_back({"symbolized", kSymbolisedFile, symbolised, ""});
    const std::string maps = report.path + "/" + crashreport::kMapsFile;
    if (isPlainFile(maps, bytes)) parts.push_back({"maps", crashreport::kMapsFile, maps, ""});
    for (std::size_t i = 0; i < report.attachments.size(); ++i) {
        const Attachment& a = report.attachments[i];
        const bool chosen = !a.optional || i >= include.size() || include[i];
        if (a.present && chosen) parts.push_back({"attachment", a.file.name, a.path, ""});
    }
    return parts;
}

void markSent(const ReportFolder& report, const std::string& serverId) {
    writeAtomically(report.path + "/" + kSentMark, serverId + "\n");
}

std::string uploadUrl(const ReportFolder& report) { return report.description.url; }

}  // namespace crashsender
