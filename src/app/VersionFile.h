// This program's own version, from "gamelauncher.db" beside it: the first
// line is a one-line JSON object whose member "version" is the version text.
// Called once at start-up on the main thread.
#pragma once

#include <cstddef>
#include <string_view>

// Fills `version` (32 bytes, zero-filled by the caller) from the file in
// `programFolder` (no trailing separator). Returns
//    0  the first line held a non-empty "version" (also for a file without
//       any line, with `version` left empty);
//   -1  the file does not exist;
//   -2  it exists but cannot be opened for reading;
//   -3  the first line is not enclosed in "{" and "}", or holds no non-empty
//       "version".
// A version longer than 31 bytes is cut there (never inside a UTF-8
// character): the text only goes into the start report. Logs every failure.
int praseVersionFile(const wchar_t* programFolder, char* version);

// The rules above applied to a first line already read (without its line
// end); returns 0 or -3. Exposed for tests and the fuzz target.
int parseVersionLine(std::string_view line, char* version);
