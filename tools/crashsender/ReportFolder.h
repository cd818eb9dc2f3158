// One report folder as the sender sees it: the description read and checked,
// the symbolised text written beside it, and the upload put together from
// the files the user chose to send.
//
// Only plain files inside the folder are read (attached copies are taken
// from files/<name> with a checked name, never through a symbolic link), so
// a tampered description cannot make the sender upload another file.
#pragma once

#include <string>
#include <vector>

#include "CrashDescription.h"
#include "Upload.h"

namespace crashsender {

// What the sender writes into the report folder.
inline constexpr const char* kSymbolisedFile = "symbolized.txt";
inline constexpr const char* kSentMark = "sent";

struct Attachment {
    AttachedFile file;
    std::string path;      // files/<name> inside the folder
    bool present = false;  // a plain file is there to send
    bool optional = false;  // flag 4: the user may leave it out
    long long bytes = 0;
};

struct ReportFolder {
    std::string path;  // without a trailing separator
    std::string id;    // the folder's own name
    CrashDescription description;
    bool complete = false;
    std::string symbolised;
    std::vector<Attachment> attachments;
};

// Reads the folder. False, with plain words in `error`, when it holds no
// readable description of a known format.
bool loadReport(const std::string& folder, ReportFolder& out, std::string& error);

// Symbolises the frames and writes kSymbolisedFile (write, then rename).
// The text is kept in `report.symbolised` even when writing fails.
bool writeSymbolised(ReportFolder& report, std::string& error);

// The parts of the upload: the report's identity fields, the description,
// the symbolised text, the memory map and every present attachment whose
// `include` entry is true (entries beyond `include` count as true; an
// attachment that is not optional is always sent).
std::vector<UploadPart> uploadParts(const ReportFolder& report, const std::vector<bool>& include);

// Records a successful upload in the folder, so it is not offered again.
void markSent(const ReportFolder& report, const std::string& serverId);

// The upload address from the description; empty when it has none.
std::string uploadUrl(const ReportFolder& report);

}  // namespace crashsender
