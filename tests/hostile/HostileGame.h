// The hostile-world cases' common ground: the built program in a game folder
// with its own TempHome, a sample launcher 1.0.0.0 already installed and a
// package 2.0.0.0 ready to publish, the servers that publish it, one bounded
// run of the program, and the checks every case ends with: the exit code,
// the log's account, the installed version with every listed file's MD5,
// the launcher's start, and that nothing outside the program's own folders
// changed.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/GameFolder.h"
#include "support/Process.h"
#include "support/UpdateService.h"

namespace hostile {

// Every file and folder below a root, with what identifies its content:
// the MD5 of a file's bytes, the target of a link, and the mode.
using Snapshot = std::map<std::string, std::string>;

// What a whole run must have come to; built in one expression, e.g.
// Expected().installs("2.0.0.0").logs({...}).shows({}).
struct Expected {
    int exitCode = 0;
    // The installed version afterwards; every listed file must match its MD5.
    std::string version = "1.0.0.0";
    // Starts of client/launcher.exe this run added (each with the one
    // argument -gamepath=<game folder>).
    std::size_t launcherStarts = 1;
    // Lines (or parts of lines) the log must hold, in this order.
    std::vector<std::string> logged;
    // Parts the log must not hold.
    std::vector<std::string> notLogged;
    // The text of each message box, in order (UTF-8); unchecked when unset.
    std::optional<std::vector<std::string>> boxes;

    Expected& exits(int code) {
        exitCode = code;
        return *this;
    }
    Expected& installs(std::string v) {
        version = std::move(v);
        return *this;
    }
    Expected& starts(std::size_t n) {
        launcherStarts = n;
        return *this;
    }
    Expected& logs(std::vector<std::string> parts) {
        logged = std::move(parts);
        return *this;
    }
    Expected& logsNot(std::vector<std::string> parts) {
        notLogged = std::move(parts);
        return *this;
    }
    Expected& shows(std::vector<std::string> texts) {
        boxes = std::move(texts);
        return *this;
    }
};

// The texts of the warning boxes, as the player reads them.
extern const char* const kBoxParseFailed;   // 104: the service check failed
extern const char* const kBoxUpdateFailed;  // 113: the package could not be installed

// nginx as a child process with its own configuration, prefix, pid and log
// files below `folder`, serving `root` on 127.0.0.1 at a free port, in the
// foreground. Stopped (SIGQUIT, then SIGKILL) by stop() or the destructor.
class Nginx {
public:
    // `serverLines`: more directives for its one server block (e.g.
    // "limit_rate 64k;").
    Nginx(const std::filesystem::path& folder, const std::filesystem::path& root, const std::string& serverLines = "");
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;
    // False when nginx is not installed or did not come up.
    bool running() const { return m_port != 0 && m_process && m_process->running(); }
    int port() const { return m_port; }
    std::string url(const std::string& name) const;
    // Ends it at once, as a server that disappears (SIGKILL).
    void kill();
    // The access log's lines so far.
    std::string accessLog() const;

private:
    std::filesystem::path m_folder;
    int m_port = 0;
    std::unique_ptr<testsupport::ChildProcess> m_process;
};

// Is nginx installed? The cases that need it fail with the reason otherwise.
std::filesystem::path nginxProgram();

class HostileGame : public testsupport::GameFolderTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // --- what is installed and what is published ---------------------------
    // The install folder (XDG data .../Keltora/morvel3) and its client folder.
    std::filesystem::path installFolder() const;
    std::filesystem::path clientFolder() const { return installFolder() / "client"; }
    // Beside the install folder: where each package is unpacked and checked.
    std::filesystem::path stagingFolder() const;
    // The folder the update service and nginx serve; the packages live here.
    std::filesystem::path served() const { return home.root() / "served"; }
    // Where servers write their own records (events, logs): not compared.
    std::filesystem::path serverState() const { return home.root() / "server-state"; }
    // served()/client.zip, version 2.0.0.0, and its MD5.
    std::filesystem::path package() const { return served() / "client.zip"; }
    const std::string& packageMd5() const { return m_packageMd5; }

    // Builds a package of the sample launcher for `version` into `zip`, with
    // an extra file that tells versions apart; returns its MD5.
    std::string makePackage(const std::string& version, const std::filesystem::path& zip,
                            const std::vector<std::pair<std::string, std::string>>& extra = {});

    // Starts the reference update service answering `version` for the
    // package served()/`packageName`, plus `extra` options (e.g.
    // --package-url URL --md5 HEX); replaces the one started before. Its base
    // URL, or empty when it did not start.
    std::string publish(const std::string& version = "2.0.0.0", const std::string& packageName = "client.zip",
                        const std::vector<std::string>& extra = {});
    testsupport::UpdateService* service() { return m_service.get(); }
    // The events the service recorded, "EVENT VER" each.
    std::vector<std::string> events() const;

    // launcher.ini with SERVER_UPGRADE_0..n-1 = the given URLs (at most four).
    void writeLauncherIni(const std::vector<std::string>& urls);
    // setting.ini [SETTING] CURL_WAITETIME.
    void writeWaitTime(int seconds);

    // --- one run -------------------------------------------------------------
    // Runs the program from the game folder, offscreen, its message boxes
    // confirmed as the player would; kills it and fails the test when it has
    // not ended within `timeoutSeconds`.
    testsupport::RunResult run(int timeoutSeconds = 120);

    // --- the checks ----------------------------------------------------------
    // Everything the case promises, after `result`: see Expected.
    void expectOutcome(const testsupport::RunResult& result, const Expected& expected);
    // The installed version from client/launcher.db ("" when unreadable).
    std::string installedVersion() const;
    // The listed files that are missing or differ from their MD5 (with the
    // list itself empty or unreadable as one entry).
    std::vector<std::string> damagedFiles() const;
    // The message boxes a run's output reports, in order.
    static std::vector<std::string> boxesShown(const testsupport::RunResult& result);
    // How often `part` is in the log.
    std::size_t countLogged(const std::string& part) const;
    // Ends every launcher started so far and forgets their starts.
    void stopLaunchers();

    // Everything below the TempHome root except the program's own folders
    // (XDG config/data Keltora, the runtime folder and its fallback in the
    // data folder), the game folder and serverState(); taken by SetUp,
    // compared by expectOutcome.
    Snapshot outsideSnapshot() const;
    void expectNothingChangedOutside() const;
    // Takes the snapshot again (after a case changed served files on purpose).
    void resnapshot() { m_before = outsideSnapshot(); }

private:
    std::string m_packageMd5;
    std::unique_ptr<testsupport::UpdateService> m_service;
    Snapshot m_before;
    std::size_t m_startsBefore = 0;
};

// Snapshot of every entry below `root`, minus the subtrees in `skip`.
Snapshot snapshotTree(const std::filesystem::path& root, const std::vector<std::filesystem::path>& skip);
// The differences between two snapshots, one line each ("changed x", ...).
std::vector<std::string> snapshotChanges(const Snapshot& before, const Snapshot& after);

}  // namespace hostile
