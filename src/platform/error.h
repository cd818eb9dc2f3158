// The "last system error" of the calling thread: errno stands in for
// GetLastError. Platform calls that fail leave it set; callers log it.
#pragma once

#include <cstdint>

namespace platform {

uint32_t lastError();
// `code` is one of the system's error numbers.
void setLastError(int code);

}  // namespace platform
