// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstdint>

#include "platform/random.h"

namespace platform {

bool randomBytes(void* out, std::size_t size) {
    auto* at = static_cast<uint8_t*>(out);
    // One call takes at most a ULONG of bytes.
    while (size > 0) {
        const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        const NTSTATUS status = ::BCryptGenRandom(nullptr, at, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            // The status itself (0xC...) is the last error: it is what the
            // system answered, and its mapping lives in ntdll.
            ::SetLastError(static_cast<DWORD>(status));
            return false;
        }
        at += chunk;
        size -= chunk;
    }
    return true;
}

}  // namespace platform

#endif  // _WIN32
