#include "app/systemSign.h"

#include <unistd.h>

#include "foundation/Log.h"
#include "platform/system_info.h"

namespace {

constexpr ModuleLog kLog{"systemSign", L"systemSign"};

uint32_t positive(long v) { return v > 0 ? static_cast<uint32_t>(v) : 0; }

}  // namespace

void GetNativeSystemInfoOrFallback(SYSTEM_INFO* info) {
    if (info == nullptr) return;
    char machine[65];
    // The counterpart of the missing kernel32 handle: the system would not
    // name its machine, so nothing is known of it.
    if (!platform::nativeMachineName(machine, sizeof machine)) {
        kLog(247, " GetModuleHandle failed");
        return;
    }
    info->wProcessorArchitecture = platform::architectureOfMachine(machine);
    info->dwPageSize = positive(::sysconf(_SC_PAGESIZE));
    info->dwNumberOfProcessors = positive(::sysconf(_SC_NPROCESSORS_ONLN));
}

int32_t GetOSBits() {
    SYSTEM_INFO info{};
    GetNativeSystemInfoOrFallback(&info);
    const uint16_t arch = info.wProcessorArchitecture;
    return arch == platform::kArchitectureAmd64 || arch == platform::kArchitectureIa64 ? 64 : 32;
}
