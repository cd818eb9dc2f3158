// Stand-in for OutputDebugStringA/W: diagnostics that do not belong in the
// log go to standard error, unchanged (no line end is added).
#pragma once

namespace platform {

void debugOutput(const char* text);
void debugOutputW(const wchar_t* text);

}  // namespace platform
