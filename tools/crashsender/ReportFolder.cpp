#include "ReportFolder.h"

#include <cerrno>
#include <cstring>

#include "Symbolizer.h"
#include "platform/confined_tree.h"
#include "platform/text.h"

namespace crashsender {

namespace {

using platform::ConfinedTree;

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

std::wstring relative(const std::string& name) { return platform::utf8ToWide(name); }

// Why a piece of the folder could not be used, from the last error.
std::string reason() {
    if (errno == ELOOP) return "a symbolic link is in its place";
    if (errno == EINVAL) return "it is not a regular file";
    return std::strerror(errno);
}

}  // namespace

bool loadReport(const std::string& folder, ReportFolder& out, std::string& error) {
    out = ReportFolder{};
    out.path = folder;
    // A trailing separator would make the system follow a link in the
    // folder's place.
    while (out.path.size() > 1 && std::strchr(kSeparators, out.path.back()) != nullptr) out.path.pop_back();
    const std::size_t slash = out.path.find_last_of(kSeparators);
    out.id = slash == std::string::npos ? out.path : out.path.substr(slash + 1);
    out.folder = std::make_shared<ConfinedTree>();
    ConfinedTree& tree = *out.folder;
    if (!tree.openWithoutLink(relative(out.path))) {
        error = "Cannot open the report folder " + out.path + ": " + reason() + ".";
        return false;
    }
    if (!tree.readFile(relative(crashreport::kDescriptionFile), kMaxDescriptionBytes, ConfinedTree::Part::Head,
                       out.descriptionText)) {
        error = "Cannot read the crash description in " + out.path + ": " + reason() + ".";
        return false;
    }
    if (!parseCrashDescription(out.descriptionText, out.description)) {
        error = "The crash description in " + out.path + " is not in a format this sender knows.";
        return false;
    }
    out.mapsPresent =
        tree.readFile(relative(crashreport::kMapsFile), kMaxMapsBytes, ConfinedTree::Part::Head, out.maps);
    out.minidumpPresent = tree.readFile(relative(crashreport::kMinidumpFile), kMaxMinidumpBytes,
                                        ConfinedTree::Part::Head, out.minidump);
    out.complete = tree.kind(relative(crashreport::kCompleteMark)) == ConfinedTree::Kind::File;
    for (const AttachedFile& f : out.description.files) {
        // The engine attaches no more than this; records beyond it are not
        // its own, and each would cost another copy's worth of memory.
        if (out.attachments.size() == crashreport::kMaxAttachedFiles) break;
        Attachment a;
        a.file = f;
        const std::string inFolder = std::string(crashreport::kFilesFolder) + "/" + f.name;
        a.path = out.path + "/" + inFolder;
        uint64_t size = 0;
        a.present = f.copiedBytes >= 0 && tree.readFile(relative(inFolder), kMaxAttachmentBytes,
                                                        ConfinedTree::Part::Tail, a.content, &size);
        a.cut = a.present && size > a.content.size();
        a.bytes = static_cast<long long>(a.content.size());
        a.optional = (f.flags & crashreport::kFileFlagAllowDelete) != 0;
        out.attachments.push_back(std::move(a));
    }
    return true;
}

bool writeSymbolised(ReportFolder& report, std::string& error) {
    Symbolizer symbolizer(report.description, parseMaps(report.maps));
    report.symbolised = symbolisedReport(report.description, symbolizer, report.complete);
    if (!report.folder || !report.folder->replaceFile(relative(kSymbolisedFile), report.symbolised)) {
        if (!report.folder) errno = EBADF;
        error = "Cannot write " + report.path + "/" + kSymbolisedFile + ": " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

std::vector<UploadPart> uploadParts(const ReportFolder& report, const std::vector<bool>& include) {
    const CrashDescription& d = report.description;
    std::vector<UploadPart> parts;
    parts.push_back({"app", "", d.app});
    parts.push_back({"version", "", d.version});
    parts.push_back({"report", "", report.id});
    parts.push_back({"crash", crashreport::kDescriptionFile, report.descriptionText});
    if (!report.symbolised.empty()) parts.push_back({"symbolized", kSymbolisedFile, report.symbolised});
    if (report.mapsPresent) parts.push_back({"maps", crashreport::kMapsFile, report.maps});
    if (report.minidumpPresent) parts.push_back({"minidump", crashreport::kMinidumpFile, report.minidump});
    for (std::size_t i = 0; i < report.attachments.size(); ++i) {
        const Attachment& a = report.attachments[i];
        const bool chosen = !a.optional || i >= include.size() || include[i];
        if (a.present && chosen) parts.push_back({"attachment", a.file.name, a.content});
    }
    return parts;
}

void markSent(const ReportFolder& report, const std::string& serverId) {
    if (report.folder) report.folder->replaceFile(relative(kSentMark), serverId + "\n");
}

std::string uploadUrl(const ReportFolder& report) { return report.description.url; }

}  // namespace crashsender
