#include "app/InstanceGuard.h"

#include "gamelauncher/LauncherProtocol.h"

bool IsInstanceRunning(platform::Marker& guard) {
    return guard.acquire(launcherprotocol::kBootstrapperMarker) == platform::Marker::Result::AlreadyHeld;
}
