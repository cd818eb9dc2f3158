// The record a download keeps beside its file: which pieces of which file
// are written there, so that a later run told the same file continues after
// them instead of from the first byte.
//
// The record is "<file>.resume", a short text rewritten whole through
// "<file>.resume.tmp" and one rename. The file's bytes are written before
// the record that claims them, so whatever instant a run is killed at, the
// record claims no more than the file holds, or it is a record that fails
// to parse and is thrown away with the file.
//
// Callable from any thread; one download's record is used by one thread at
// a time. Nothing here logs: the downloader logs what it decides.
#pragma once

#include <cstdint>
#include <string>

struct ResumeRecord {
    std::string url;         // the address the pieces came from
    std::string md5;         // the whole file's MD5 the service announced
    uint32_t fileSize = 0;   // the size query's answer
    uint32_t pieceSize = 0;  // the pieces' size; the written ones lie at the start
    uint32_t written = 0;    // bytes at the file's start that hold their pieces
};

// The record's path for the download into `target`.
std::wstring resumeRecordPath(const std::wstring& target);
// True when `target` has a record beside it (or the remnant of one).
bool hasResumeRecord(const std::wstring& target);
// Reads the record at `recordPath`: false when it is missing, too long,
// or not exactly the form writeResumeRecord gives.
bool readResumeRecord(const std::wstring& recordPath, ResumeRecord& out);
// Replaces the record at `recordPath` with `record` in one rename; false,
// with the old record left as it was, when any step fails. A url or MD5
// with a line break is refused, as it could not be read back.
bool writeResumeRecord(const std::wstring& recordPath, const ResumeRecord& record);
// Removes the record and its remnant, whichever exist; true when none is left.
bool removeResumeRecord(const std::wstring& recordPath);
