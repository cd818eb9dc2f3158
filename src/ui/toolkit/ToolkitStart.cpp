#include "ui/toolkit/Toolkit.h"

namespace ui {

const char* ToolkitStartText(ToolkitStart result) {
    switch (result) {
        case ToolkitStart::Started:
            return "started";
        case ToolkitStart::NoDisplay:
            return "no display";
        case ToolkitStart::PlatformFailed:
            return "the window system cannot be used";
        case ToolkitStart::AlreadyStarted:
            return "already started";
    }
    return "unknown";
}

}  // namespace ui
