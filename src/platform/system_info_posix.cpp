#include "platform/system_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform {

namespace {

bool unameMachine(char* buffer, std::size_t capacity) {
    utsname u{};
    if (::uname(&u) != 0) return false;
    const std::size_t length = strnlen(u.machine, std::min(sizeof u.machine, capacity - 1));
    std::memcpy(buffer, u.machine, length);
    buffer[length] = '\0';
    return true;
}

std::atomic<MachineNameSource> g_source{&unameMachine};

uint32_t positive(long v) { return v > 0 ? static_cast<uint32_t>(v) : 0; }

}  // namespace

uint32_t pageSize() { return positive(::sysconf(_SC_PAGESIZE)); }

uint32_t onlineProcessors() { return positive(::sysconf(_SC_NPROCESSORS_ONLN)); }

bool nativeMachineName(char* buffer, std::size_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    buffer[0] = '\0';
    return g_source.load(std::memory_order_relaxed)(buffer, capacity);
}

MachineNameSource setMachineNameSource(MachineNameSource source) {
    return g_source.exchange(source != nullptr ? source : &unameMachine, std::memory_order_relaxed);
}

}  // namespace platform
