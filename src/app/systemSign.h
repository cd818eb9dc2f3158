// The operating-system bitness probe: the game starts only on a 64-bit
// system. The program asks for the native system's architecture, not the
// one it was built for.
//
// Threads: main thread (start-up). Never blocks.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
// The part of the system's SYSTEM_INFO record the probe fills; every other
// field stays as the caller left it.
struct SYSTEM_INFO {
    uint16_t wProcessorArchitecture = 0;
    uint16_t wReserved = 0;
    uint32_t dwPageSize = 0;
    uint32_t dwNumberOfProcessors = 0;
};
#endif

// Fills `info` with the native system's information. Null: nothing. When
// the system does not tell, logs "[systemSign:247] GetModuleHandle failed"
// and leaves the record untouched.
void GetNativeSystemInfoOrFallback(SYSTEM_INFO* info);

// 64 on an AMD64 or IA64 system, 32 on anything else (ARM64 included) and
// when the system does not tell.
int32_t GetOSBits();
