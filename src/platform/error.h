// The "last system error" of the calling thread: errno stands in for
// GetLastError. Platform calls that fail leave it set; callers log it.
#pragma once

#include <cerrno>
#include <cstdint>

namespace platform {

inline uint32_t lastError() { return static_cast<uint32_t>(errno); }
inline void setLastError(int code) { errno = code; }

}  // namespace platform
