// The running process: its id and the full file name of its executable.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

uint32_t currentProcessId();

// Stand-in for GetModuleFileNameW: the absolute path of the running program.
// False (with the last error set) when the system cannot tell.
bool moduleFileName(std::wstring& out);

}  // namespace platform
