// The program's own single-instance guard: the per-user bootstrapper marker
// (launcherprotocol::kBootstrapperMarker), held from start-up until the very
// end.
#pragma once

#include "platform/marker.h"

// True when another instance holds the marker. Otherwise false, and `guard`
// holds it now (or holds nothing when the marker could not be taken for
// another reason: the program then runs without a guard).
bool IsInstanceRunning(platform::Marker& guard);
