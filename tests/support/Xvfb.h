// A private X server for tests that need a display: Xvfb on a display
// number it picks itself (no guessing of free numbers), listening on its
// local socket only. DISPLAY points at it while the object lives.
//
// A test that needs it starts with GL_REQUIRE_XVFB(xvfb): when Xvfb is not
// installed or cannot start the test is skipped with the reason, except
// where GL_REQUIRE_DISPLAY or CI is set in the environment, where the
// display is part of what is tested and its absence fails the test.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace testsupport {

class Xvfb {
public:
    explicit Xvfb(const std::string& screen = "1024x768x24");
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return !m_display.empty(); }
    const std::string& display() const { return m_display; }  // ":N"
    const std::string& whyNot() const { return m_whyNot; }

private:
    pid_t m_pid = -1;
    std::string m_display;
    std::string m_whyNot;
    std::optional<std::string> m_savedDisplay;
};

bool displayRequired();

}  // namespace testsupport

#define GL_REQUIRE_XVFB(xvfb)                                                        \
    do {                                                                             \
        if (!(xvfb).ok()) {                                                          \
            if (::testsupport::displayRequired()) FAIL() << (xvfb).whyNot();         \
            GTEST_SKIP() << "no X display for this test: " << (xvfb).whyNot();       \
        }                                                                            \
    } while (0)

// The built program on a real X display runs Qt's xcb platform, which starts
// threads of its own (D-Bus, GLib) in libraries Debian ships without
// ThreadSanitizer instrumentation: their reports are about code we do not
// build. Under ThreadSanitizer those tests skip; the window's own code runs
// under it in the off-screen window tests, and the whole program under
// AddressSanitizer.
#if defined(__SANITIZE_THREAD__)
#define GL_SKIP_QT_ON_X_UNDER_TSAN() \
    GTEST_SKIP() << "the program's Qt xcb platform runs uninstrumented threads under ThreadSanitizer"
#else
#define GL_SKIP_QT_ON_X_UNDER_TSAN() \
    do {                             \
    } while (0)
#endif
