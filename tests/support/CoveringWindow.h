// Another program's plain window over the whole 1024x768 test screen, above
// every window shown before it: what a launcher's window must be raised
// above. Ends with the object.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/x11/window_mark.h"
#include "support/ChildProcess.h"

namespace testsupport {

class CoveringWindow {
public:
    // Opens it on X display `display`; window() is 0 when it did not open.
    CoveringWindow(const std::filesystem::path& workDir, const std::string& display);

    platform::x11::NativeWindow window() const { return m_window; }

private:
    ChildProcess m_program;
    platform::x11::NativeWindow m_window = 0;
};

// Where `window` stands in the display's stacking order, bottom first; the
// order's length when it is not there.
std::ptrdiff_t stackIndex(platform::x11::NativeWindow window);

}  // namespace testsupport
