#include "platform/com.h"

namespace platform {

bool initializeCom() { return true; }

void uninitializeCom() {}

}  // namespace platform
