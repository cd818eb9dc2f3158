// One report folder as the sender sees it: the description read and checked,
// the symbolised text written beside it, and the upload put together from
// the files the user chose to send.
//
// The folder is opened once, refusing a link in its place, and everything in
// it is read relative to that handle without following a link at any level
// (files/ included) and without waiting on a FIFO or device: only regular
// files count, so a tampered folder cannot make the sender upload another
// file or hang. A piece that is not a regular file is left out and the rest
// still goes; without a readable description there is no report.
//
// Every part is read once, when the report is loaded, and bounded there, so
// what is shown, symbolised and sent is the same bytes:
//   crash.txt    its first kMaxDescriptionBytes, the part the sender parses
//   maps         its first kMaxMapsBytes, the part the sender parses
//   minidump.dmp (Windows reports) its first kMaxMinidumpBytes; a dump
//                beyond that is not the engine's, which writes threads and
//                stacks only
//   files/<name> its last kMaxAttachmentBytes: the engine copies at most that
//                much, keeping a file's end, and a larger copy is not its own;
//                the end of a log is where the crash is
// and no more than kMaxAttachedFiles attachments, the engine's own bound.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "CrashDescription.h"
#include "Upload.h"
#include "crash/CrashReportFormat.h"

namespace platform {
class ConfinedTree;
}

namespace crashsender {

// What the sender writes into the report folder.
inline constexpr const char* kSymbolisedFile = "symbolized.txt";
inline constexpr const char* kSentMark = "sent";

// The memory map is outside input too; a real one is far below this.
inline constexpr std::size_t kMaxMapsBytes = 8u << 20;
inline constexpr std::size_t kMaxMinidumpBytes = 32u << 20;
inline constexpr std::size_t kMaxAttachmentBytes = crashreport::kMaxFileCopyBytes;

struct Attachment {
    AttachedFile file;
    std::string path;       // files/<name> inside the folder
    bool present = false;   // a regular file is there to send
    bool optional = false;  // flag 4: the user may leave it out
    bool cut = false;       // larger than kMaxAttachmentBytes: only its end goes
    long long bytes = 0;    // what goes: the size of `content`
    std::string content;
};

struct ReportFolder {
    std::string path;  // without a trailing separator
    std::string id;    // the folder's own name
    CrashDescription description;
    std::string descriptionText;  // crash.txt as read
    bool mapsPresent = false;
    std::string maps;  // the maps file as read
    bool minidumpPresent = false;
    std::string minidump;  // the minidump as read (Windows reports)
    bool complete = false;
    std::string symbolised;
    std::vector<Attachment> attachments;
    // The folder as opened by loadReport; the sender writes through it. Used
    // by one thread at a time.
    std::shared_ptr<platform::ConfinedTree> folder;
};

// Reads the folder. False, with plain words in `error`, when the folder
// cannot be opened (or is a link) or holds no readable description of a
// known format.
bool loadReport(const std::string& folder, ReportFolder& out, std::string& error);

// Symbolises the frames and writes kSymbolisedFile (a new file renamed over
// the old). The text is kept in `report.symbolised` even when writing fails.
bool writeSymbolised(ReportFolder& report, std::string& error);

// The parts of the upload, from what loadReport read: the report's identity
// fields, the description, the symbolised text, the memory map, the
// minidump when there is one, and every
// present attachment whose `include` entry is true (entries beyond
// `include` count as true; an attachment that is not optional is always
// sent).
std::vector<UploadPart> uploadParts(const ReportFolder& report, const std::vector<bool>& include);

// Records a successful upload in the folder, so it is not offered again.
void markSent(const ReportFolder& report, const std::string& serverId);

// The upload address from the description; empty when it has none.
std::string uploadUrl(const ReportFolder& report);

}  // namespace crashsender
