#include "app/InstanceGuard.h"

bool IsInstanceRunning(platform::Marker& guard) {
    return guard.acquire(kInstanceMarker) == platform::Marker::Result::AlreadyHeld;
}
