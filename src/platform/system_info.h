// The native system's processor architecture (uname's machine name; on
// Windows GetNativeSystemInfo's, spelt as uname spells it), in the
// PROCESSOR_ARCHITECTURE_* numbering.
//
// Threads: any, except setMachineNameSource, which tests call before any
// other thread asks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr uint16_t kArchitectureX86 = 0;
inline constexpr uint16_t kArchitectureIa64 = 6;
inline constexpr uint16_t kArchitectureAmd64 = 9;
inline constexpr uint16_t kArchitectureArm64 = 12;

// "x86_64" → AMD64, "ia64" → IA64, "aarch64" → ARM64; every other name,
// and null, is x86 (0).
uint16_t architectureOfMachine(const char* machine);

// The machine name into `buffer` (always terminated, cut to capacity - 1).
// False, with the last error set, when the system does not tell.
bool nativeMachineName(char* buffer, std::size_t capacity);

// The memory page size and the processors online; 0 when the system does
// not tell.
uint32_t pageSize();
uint32_t onlineProcessors();

// Where nativeMachineName gets its answer: uname by default. Tests put a
// table of machines here; null puts uname back. Returns the previous one.
using MachineNameSource = bool (*)(char* buffer, std::size_t capacity);
MachineNameSource setMachineNameSource(MachineNameSource source);

}  // namespace platform
