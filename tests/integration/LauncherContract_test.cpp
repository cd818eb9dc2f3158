// The launcher contract end to end: the built program in a game folder whose
// name holds a space, a loopback update service, and as client/launcher.exe
// the launcher written from docs/launcher-integration.md alone
// (tests/programs/doc_launcher.cpp). The program starts it with its one
// argument, finds it while it runs, hands over to it with 0x80 and raises its
// window, and tells it to quit with 0x81 before it installs and starts the
// next version. Everything the launcher saw is read back from its record.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/x11/marked_window.h"
#include "platform/x11/window_mark.h"
#include "support/ChildProcess.h"
#include "support/CoveringWindow.h"
#include "support/GameFolder.h"
#include "support/Process.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"
#include "support/WaitUntil.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
namespace x11 = platform::x11;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// One line of the launcher's record: "<pid> <event>[ <detail>]".
struct Event {
    int pid = 0;
    std::string what;
    std::string detail;
    bool operator==(const Event&) const = default;
};

std::vector<Event> readRecord(const fs::path& file) {
    std::vector<Event> out;
    for (const std::string& line : testsupport::textLines(readFile(file))) {
        const std::size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        Event e;
        e.pid = std::atoi(line.substr(0, sp).c_str());
        const std::string rest = line.substr(sp + 1);
        const std::size_t sp2 = rest.find(' ');
        e.what = rest.substr(0, sp2);
        if (sp2 != std::string::npos) e.detail = rest.substr(sp2 + 1);
        out.push_back(e);
    }
    return out;
}

// The events of one launcher process, in order.
std::vector<Event> of(const std::vector<Event>& all, int pid) {
    std::vector<Event> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out), [pid](const Event& e) { return e.pid == pid; });
    return out;
}

std::vector<int> startedPids(const std::vector<Event>& all) {
    std::vector<int> out;
    for (const Event& e : all) {
        if (e.what == "started") out.push_back(e.pid);
    }
    return out;
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

const std::string kComeForward = "80 00 00 00 00 00 00 00 00";
const std::string kQuit = "81 00 00 00 00 00 00 00 00";

class LauncherContract : public testsupport::GameFolderTest {
protected:
    void SetUp() override {
        GameFolderTest::SetUp();
        ASSERT_NE(game.filename().string().find(' '), std::string::npos) << "the game folder's name holds a space";
        client = home.data() / "Keltora/morvel3/client";
        record = home.root() / "launcher.record";
        workDir = home.root() / "started in";
        fs::create_directories(workDir);
        // The launcher runs detached with its output on /dev/null: sanitizer
        // reports of the program and of the launcher go to files instead.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const char* ubsan = std::getenv("UBSAN_OPTIONS");
        const std::string reports = (home.root() / "sanitizer").string();
        env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":log_path=" + reports;
        env["UBSAN_OPTIONS"] = std::string(ubsan != nullptr ? ubsan : "") + ":log_path=" + reports;
        env["DOC_LAUNCHER_RECORD"] = record.string();
    }

    void TearDown() override {
        // Every launcher still running ends on SIGTERM, cleaning up as on a quit.
        const auto all = readRecord(record);
        for (int pid : startedPids(all)) {
            const auto mine = of(all, pid);
            if (std::find_if(mine.begin(), mine.end(), [](const Event& e) { return e.what == "released"; }) !=
                    mine.end() ||
                std::find_if(mine.begin(), mine.end(), [](const Event& e) { return e.what == "busy"; }) != mine.end()) {
                continue;
            }
            ::kill(pid, SIGTERM);
            EXPECT_TRUE(waitFor(pid, "released")) << readFile(record);
            const auto ended = of(readRecord(record), pid);
            ASSERT_GE(ended.size(), 2u);
            EXPECT_EQ(ended[ended.size() - 2], (Event{pid, "signal", std::to_string(SIGTERM)})) << readFile(record);
        }
        EXPECT_FALSE(fs::exists(home.runtime() / launcherprotocol::kPipeName)) << "the socket file was removed";
        for (const auto& entry : fs::directory_iterator(home.root())) {
            EXPECT_NE(entry.path().filename().string().rfind("sanitizer", 0), 0u) << readFile(entry.path());
        }
    }

    // Lays out a package holding the doc launcher as client/launcher.exe and
    // client/tag.txt naming `version`, packs it and serves it as the current
    // version from a fresh service.
    void serveVersion(const std::string& version) {
        const fs::path stage = home.root() / ("stage-" + version);
        const fs::path files = home.root() / ("files-" + version);
        fs::create_directories(stage / "client");
        fs::create_directories(files);
        fs::copy_file(testsupport::builtProgram("tests/doc-launcher"), stage / "client/launcher.exe");
        writeFile(stage / "client/tag.txt", version + "\n");
        const auto pack = testsupport::runProgram(testsupport::builtProgram("tools/mkpackage/mkpackage"),
                                                  {stage.string(), version, (files / "client.zip").string()}, home.root());
        ASSERT_EQ(pack.exitCode, 0) << pack.output;
        service = std::make_unique<testsupport::UpdateService>(std::vector<std::string>{
            "--quiet", "--version", version, "--files", files.string(), "--package", "client.zip"});
        ASSERT_FALSE(service->base().empty());
        writeFile(game / "launcher.ini", "[UPGRADE]\r\nSERVER_UPGRADE_0=" + service->base() + "\r\n");
    }

    testsupport::RunResult runProgram() {
        return testsupport::runProgram(game / "gamelauncher", {}, workDir, env);
    }

    // Waits until launcher `pid` has recorded `what`: it is another process
    // that gives no other sign.
    bool waitFor(int pid, const std::string& what) const {
        return testsupport::waitUntil([&] {
            const auto mine = of(readRecord(record), pid);
            return std::any_of(mine.begin(), mine.end(), [&](const Event& e) { return e.what == what; });
        });
    }

    // The one launcher the last run started, checked for how it was
    // started; its pid.
    int expectStartedOnce(std::size_t before, const std::string& version) {
        std::vector<int> pids;
        testsupport::waitUntil([&] {
            pids = startedPids(readRecord(record));
            return pids.size() > before;
        });
        EXPECT_EQ(pids.size(), before + 1) << readFile(record);
        if (pids.size() <= before) return 0;
        const int pid = pids[before];
        EXPECT_TRUE(waitFor(pid, "serving")) << readFile(record);
        const auto mine = of(readRecord(record), pid);
        std::vector<Event> expected = {{pid, "started", ""},
                                       {pid, "argv0", (client / "launcher.exe").string()},
                                       {pid, "argc", "1"},
                                       {pid, "arg", launcherprotocol::kGamePathPrefix + game.string()},
                                       {pid, "cwd", workDir.string()},
                                       {pid, "tag", version},
                                       {pid, "marker", ""}};
        const std::size_t head = expected.size();
        EXPECT_GE(mine.size(), head + 1) << readFile(record);
        EXPECT_EQ(std::vector<Event>(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(std::min(head, mine.size()))),
                  expected) << readFile(record);
        EXPECT_EQ(mine.back(), (Event{pid, "serving", ""}));
        return pid;
    }

    fs::path client;
    fs::path record;
    fs::path workDir;
    std::map<std::string, std::string> env;
    std::unique_ptr<testsupport::UpdateService> service;
};

// Watches the root window of the display for the client messages sent to it
// (the EWMH requests a window manager would act on).
class RootWatch {
public:
    explicit RootWatch(const std::string& display) : m_conn(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(m_conn) != 0) return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_conn, m_root, XCB_CW_EVENT_MASK, &mask);
        const char name[] = "_NET_ACTIVE_WINDOW";
        auto* reply = xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, 0, sizeof name - 1, name), nullptr);
        if (reply != nullptr) m_activeWindow = reply->atom;
        std::free(reply);
    }
    ~RootWatch() { xcb_disconnect(m_conn); }
    RootWatch(const RootWatch&) = delete;
    RootWatch& operator=(const RootWatch&) = delete;

    bool ok() const { return xcb_connection_has_error(m_conn) == 0 && m_activeWindow != XCB_ATOM_NONE; }

    // Each _NET_ACTIVE_WINDOW request seen so far: the window and the
    // source indication.
    std::vector<std::pair<uint32_t, uint32_t>> activations() {
        std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
        while (xcb_generic_event_t* ev = xcb_poll_for_event(m_conn)) {
            if ((ev->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* cm = reinterpret_cast<const xcb_client_message_event_t*>(ev);
                if (cm->type == m_activeWindow) m_seen.emplace_back(cm->window, cm->data.data32[0]);
            }
            std::free(ev);
        }
        return m_seen;
    }

private:
    xcb_connection_t* m_conn;
    xcb_window_t m_root = 0;
    xcb_atom_t m_activeWindow = XCB_ATOM_NONE;
    std::vector<std::pair<uint32_t, uint32_t>> m_seen;
};

class LauncherContractOnDisplay : public LauncherContract {
protected:
    void SetUp() override {
        LauncherContract::SetUp();
        env["QT_QPA_PLATFORM"] = "";
        env["DISPLAY"] = xvfb.display();
    }
    testsupport::Xvfb xvfb;
};

// Started with its one argument; then, while it runs, found (no second
// launcher), raised and handed over to with 0x80; it keeps running.
TEST_F(LauncherContractOnDisplay, IsStartedThenFoundRaisedAndHandedOverTo) {
    GL_REQUIRE_XVFB(xvfb);
    GL_SKIP_QT_ON_X_UNDER_TSAN();
    serveVersion("1.0.0.1");

    const auto install = runProgram();
    ASSERT_EQ(install.exitCode, 0) << install.output;
    const int pid = expectStartedOnce(0, "1.0.0.1");
    ASSERT_GT(pid, 0);
    EXPECT_NE(log().find("[upgradeManager:641]StartLauncher Arg:\"-gamepath=" + game.string() + "\"\r\n"),
              std::string::npos) << log();

    // Its marked window, covered by another program's window.
    const auto mine = of(readRecord(record), pid);
    const auto windowLine = std::find_if(mine.begin(), mine.end(), [](const Event& e) { return e.what == "window"; });
    ASSERT_NE(windowLine, mine.end()) << readFile(record);
    const x11::NativeWindow launcherWindow = std::stoull(windowLine->detail);
    EXPECT_EQ(x11::findMarkedWindow(launcherprotocol::kLauncherWindowMark), launcherWindow);
    const testsupport::CoveringWindow other(game, xvfb.display());
    ASSERT_NE(other.window(), 0u);
    ASSERT_GT(testsupport::stackIndex(other.window()), testsupport::stackIndex(launcherWindow));
    RootWatch root(xvfb.display());
    ASSERT_TRUE(root.ok());

    const auto handOver = runProgram();
    ASSERT_EQ(handOver.exitCode, 0) << handOver.output;
    // Found: no second launcher started, the running one got exactly the
    // 9-byte come-forward message and still runs with its marker.
    const auto all = readRecord(record);
    EXPECT_EQ(startedPids(all), std::vector<int>{pid}) << readFile(record);
    const auto after = of(all, pid);
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(std::vector<Event>(after.end() - 2, after.end()),
              (std::vector<Event>{{pid, "message", kComeForward}, {pid, "forward", ""}}))
        << readFile(record);
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_EQ(countOf(log(), "[upgradeManager:641]StartLauncher"), 1u) << log();
    EXPECT_EQ(countOf(log(), "[upgradeManager:727]pipe send message Success id:128 command:0 data:(null)\r\n"), 1u)
        << log();
    // Raised: the program asked for its window's activation as a normal
    // application (no window manager runs here, so the launcher itself
    // sends no such request), and the window is on top with the focus.
    const auto activations = root.activations();
    EXPECT_NE(std::find(activations.begin(), activations.end(), std::pair<uint32_t, uint32_t>{launcherWindow, 1u}),
              activations.end());
    EXPECT_GT(testsupport::stackIndex(launcherWindow), testsupport::stackIndex(other.window()));
    EXPECT_EQ(x11::inputFocus(), launcherWindow);
}

// Without a display: a running launcher of another version is told to quit
// with 0x81; only once it has cleaned up and released its marker is the new
// version installed and its launcher started, with the same argument.
TEST_F(LauncherContract, IsToldToQuitThenTheUpdateGoesOnAndTheNewLauncherStarts) {
    env["QT_QPA_PLATFORM"] = "offscreen";
    env["DISPLAY"] = "";
    serveVersion("1.0.0.1");
    const auto install = runProgram();
    ASSERT_EQ(install.exitCode, 0) << install.output;
    const int oldPid = expectStartedOnce(0, "1.0.0.1");
    ASSERT_GT(oldPid, 0);

    serveVersion("1.0.0.2");
    const auto update = runProgram();
    ASSERT_EQ(update.exitCode, 0) << update.output;
    const int newPid = expectStartedOnce(1, "1.0.0.2");
    ASSERT_GT(newPid, 0);
    EXPECT_EQ(readFile(client / "tag.txt"), "1.0.0.2\n");

    const auto all = readRecord(record);
    const auto old = of(all, oldPid);
    ASSERT_GE(old.size(), 3u);
    EXPECT_EQ(std::vector<Event>(old.end() - 3, old.end()),
              (std::vector<Event>{{oldPid, "message", kQuit}, {oldPid, "quit", ""}, {oldPid, "released", ""}}))
        << readFile(record);
    // The old launcher had let go before the new one started.
    const auto released = std::find(all.begin(), all.end(), Event{oldPid, "released", ""});
    const auto started = std::find(all.begin(), all.end(), Event{newPid, "started", ""});
    EXPECT_LT(released - all.begin(), started - all.begin()) << readFile(record);
    const std::string text = log();
    const std::size_t sent = text.find("[upgradeManager:727]pipe send message Success id:129 command:0 data:(null)\r\n");
    const std::size_t quitSeen = text.find("[upgradeManager:772]Launcher quit already");
    const std::size_t restart = text.rfind("[upgradeManager:641]StartLauncher Arg:\"-gamepath=" + game.string() + "\"\r\n");
    ASSERT_NE(sent, std::string::npos) << text;
    EXPECT_LT(sent, quitSeen) << text;
    EXPECT_LT(quitSeen, restart) << text;
    EXPECT_NE(restart, std::string::npos) << text;
}

}  // namespace
