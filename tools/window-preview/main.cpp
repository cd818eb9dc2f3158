// window-preview <value 0..500> [<milliseconds>]: shows the progress window
// centred and activated with the bar at <value>, and closes it through its
// own WM_CLOSE after <milliseconds> (default: stays until its close button
// is clicked). Prints the window's X id once it is shown. Exit code 1 when
// no window system can be used or the skin cannot be built.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "foundation/Log.h"
#include "foundation/StringTable.h"
#include "ui/DlgGameLauncher.h"
#include "ui/toolkit/Toolkit.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: window-preview <value 0..500> [<milliseconds>]\n");
        return 2;
    }
    const auto value = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const long lifetime = argc == 3 ? std::strtol(argv[2], nullptr, 10) : -1;

    const ui::ToolkitStart started = ui::StartToolkit(L"./");
    if (started != ui::ToolkitStart::Started) {
        std::fprintf(stderr, "window-preview: %s\n", ui::ToolkitStartText(started));
        return 1;
    }
    int code = 0;
    {
        wchar_t title[128] = {};
        LoadStringResource(IDS_TITLE, title, 128);
        CDlgGameLauncher dlg;
        if (dlg.Create(nullptr, title, 0x96000000, 0) != ui::SkinWindow::CreateResult::Created) {
            code = 1;
        } else {
            dlg.CenterWindow();
            dlg.ShowWindow(true, true);
            if (!dlg.InitControls()) code = 1;
            dlg.SetProgress(value, {});
            std::printf("0x%lx\n", static_cast<unsigned long>(dlg.NativeHandle()));
            std::fflush(stdout);
            // Closes the window the way the update worker does, from another
            // thread with a blocking send.
            std::jthread closer([&](std::stop_token stop) {
                if (lifetime < 0) return;
                std::mutex m;
                std::condition_variable_any cv;
                std::unique_lock lock(m);
                if (!cv.wait_for(lock, stop, std::chrono::milliseconds(lifetime), [] { return false; })) {
                    if (!stop.stop_requested()) dlg.Close(stop);
                }
            });
            ui::RunMessageLoop();
        }
    }
    ui::StopToolkit();
    ReleaseLogger();
    return code;
}
