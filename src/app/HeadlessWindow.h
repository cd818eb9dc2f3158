// A window without pixels that stands in for the progress window until the
// real one is built: it answers the update worker's window operations, logs
// each warning's text and id instead of showing a box, and runs a "message
// loop" on the main thread that handles the worker's blocking sends and ends
// when the window is closed.
#pragma once

#include <memory>

class LauncherWindow;

class HeadlessWindow {
public:
    HeadlessWindow();
    ~HeadlessWindow();
    HeadlessWindow(const HeadlessWindow&) = delete;
    HeadlessWindow& operator=(const HeadlessWindow&) = delete;

    // The operations the upgrade manager uses; lives as long as this object.
    LauncherWindow* window();
    // Main thread: handles sends until the window has been closed.
    void runMessageLoop();

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
