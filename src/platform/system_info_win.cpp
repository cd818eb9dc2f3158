// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/system_info.h"

namespace platform {

namespace {

// GetNativeSystemInfo is looked up when it is called: a system without it
// answers with GetSystemInfo, which on such a system is the native answer.
void nativeSystemInfo(SYSTEM_INFO& info) {
    using Fn = void(WINAPI*)(LPSYSTEM_INFO);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "GetNativeSystemInfo") : nullptr;
    if (found != nullptr) {
        // GetProcAddress hands back a generic function pointer; this is its
        // documented type.
        reinterpret_cast<Fn>(reinterpret_cast<void*>(found))(&info);
    } else {
        ::GetSystemInfo(&info);
    }
}

// The processor architecture spelt as uname spells it, so that
// architectureOfMachine reads both systems' answers alike.
bool systemMachine(char* buffer, std::size_t capacity) {
    SYSTEM_INFO info{};
    nativeSystemInfo(info);
    const char* name;
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: name = "x86_64"; break;
        case PROCESSOR_ARCHITECTURE_IA64: name = "ia64"; break;
        case PROCESSOR_ARCHITECTURE_ARM64: name = "aarch64"; break;
        case PROCESSOR_ARCHITECTURE_INTEL: name = "i686"; break;
        case PROCESSOR_ARCHITECTURE_ARM: name = "arm"; break;
        default: name = "unknown"; break;
    }
    const std::size_t length = std::min(std::strlen(name), capacity - 1);
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
    return true;
}

std::atomic<MachineNameSource> g_source{&systemMachine};

}  // namespace

uint32_t pageSize() {
    SYSTEM_INFO info{};
    nativeSystemInfo(info);
    return info.dwPageSize;
}

uint32_t onlineProcessors() {
    SYSTEM_INFO info{};
    nativeSystemInfo(info);
    return info.dwNumberOfProcessors;
}

bool nativeMachineName(char* buffer, std::size_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    buffer[0] = '\0';
    return g_source.load(std::memory_order_relaxed)(buffer, capacity);
}

MachineNameSource setMachineNameSource(MachineNameSource source) {
    return g_source.exchange(source != nullptr ? source : &systemMachine, std::memory_order_relaxed);
}

}  // namespace platform

#endif  // _WIN32
