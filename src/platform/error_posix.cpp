#include "platform/error.h"

#include <cerrno>

namespace platform {

uint32_t lastError() { return static_cast<uint32_t>(errno); }

void setLastError(int code) { errno = code; }

}  // namespace platform
