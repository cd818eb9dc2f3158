// The part of system_info.h that is the same on every system.
#include "platform/system_info.h"

#include <cstring>

namespace platform {

uint16_t architectureOfMachine(const char* machine) {
    if (machine == nullptr) return kArchitectureX86;
    if (std::strcmp(machine, "x86_64") == 0) return kArchitectureAmd64;
    if (std::strcmp(machine, "ia64") == 0) return kArchitectureIa64;
    if (std::strcmp(machine, "aarch64") == 0) return kArchitectureArm64;
    return kArchitectureX86;
}

}  // namespace platform
