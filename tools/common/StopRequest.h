// How a test asks a program of ours to end on Windows, where there are no
// signals (on Linux: SIGTERM): it sets the manual-reset event of this name
// in the session's namespace, made for the program's process id. Either
// side may create the event first; the asking side keeps its handle until
// the program has ended, so that a program that opens it late still finds
// it set.
#pragma once

#include <cstdint>
#include <string>

namespace stoprequest {

inline std::wstring eventName(uint32_t processId) {
    return L"Local\\GameLauncherTestStop-" + std::to_wstring(processId);
}

}  // namespace stoprequest
