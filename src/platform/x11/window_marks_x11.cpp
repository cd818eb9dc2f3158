#include "platform/window_marks.h"

#include "platform/x11/window_mark.h"

namespace platform {

bool markOwnWindow(WindowHandle window) { return x11::SetWindowMark(static_cast<x11::NativeWindow>(window)); }

bool bringLauncherWindowForward() {
    return x11::bringMarkedWindowForward(launcherprotocol::kLauncherWindowMark) == x11::BringForwardResult::Activated;
}

}  // namespace platform
