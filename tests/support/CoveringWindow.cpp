#include "support/CoveringWindow.h"

#include <algorithm>

#include "platform/x11/marked_window.h"
#include "support/Process.h"

namespace testsupport {

CoveringWindow::CoveringWindow(const std::filesystem::path& workDir, const std::string& display)
    : m_program(builtProgram("tests/marked-window"), {"--no-mark", "--at", "0,0", "--size", "1024,768"}, workDir,
                {{"DISPLAY", display}}) {
    // The program prints its window's id once the window is shown.
    if (const auto line = m_program.readLine()) m_window = std::stoull(*line);
}

std::ptrdiff_t stackIndex(platform::x11::NativeWindow window) {
    const auto order = platform::x11::stackingOrder();
    return std::find(order.begin(), order.end(), window) - order.begin();
}

}  // namespace testsupport
