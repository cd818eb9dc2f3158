#include "app/systemSign.h"

#include "foundation/Log.h"
#include "platform/system_info.h"

namespace {

constexpr ModuleLog kLog{"systemSign", L"systemSign"};

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
    info->dwPageSize = platform::pageSize();
    info->dwNumberOfProcessors = platform::onlineProcessors();
}

int32_t GetOSBits() {
    SYSTEM_INFO info{};
    GetNativeSystemInfoOrFallback(&info);
    const uint16_t arch = info.wProcessorArchitecture;
    return arch == platform::kArchitectureAmd64 || arch == platform::kArchitectureIa64 ? 64 : 32;
}
