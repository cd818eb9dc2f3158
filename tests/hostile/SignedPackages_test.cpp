// Signed launcher packages, the whole program against the reference update
// service and nginx: with an update key built in, a package whose statement
// ("<package>.sig") is missing, tampered with, signed by another key, made
// for another version, too large or older than the installed launcher's is
// refused on every try: warning 113, and 1.0.0.0 starts byte for byte as it
// was. A signed package installs, and a program without a key installs as
// before whatever lies beside the package.
//
// The key reaches the program through the test hook GL_TEST_UPDATE_KEYS
// (upgrade/UpdateKeys.h), which the child inherits from this process.
#include <cstdlib>
#include <functional>

#include "hostile/HostileGame.h"
#include "support/SampleLauncher.h"
#include "support/TempHome.h"
#include "support/TestData.h"
#include "upgrade/upgradeManager.h"

namespace hostile {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

const std::vector<std::string> kEventsWithoutUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0"};
const std::vector<std::string> kEventsWithUpdate{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0", "LHR_UPD 2.0.0.0"};

constexpr const char* kSignedEarlier = "2026-01-01T00:00:00Z";
constexpr const char* kSignedLater = "2026-02-01T00:00:00Z";

class SignedPackages : public HostileGame {
protected:
    void SetUp() override {
#ifndef GL_TEST_HOOKS
        GTEST_SKIP() << "the key is handed in through a test hook, which this build does not have";
#endif
        HostileGame::SetUp();
        publicKey = keygen(serverState() / "operator.key");
        ASSERT_EQ(publicKey.size(), 44u);
        ::setenv("GL_TEST_UPDATE_KEYS", publicKey.c_str(), 1);
        ASSERT_TRUE(sign(package(), "2.0.0.0", serverState() / "operator.key", kSignedEarlier));
        resnapshot();
    }

    // A new key pair: the secret key in `keyFile`, the public one returned.
    std::string keygen(const fs::path& keyFile) {
        const auto r = testsupport::runProgram(testsupport::builtProgram("tools/mkpackage/mkpackage"),
                                               {"keygen", keyFile.string()}, serverState());
        std::string out = r.output;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return r.exitCode == 0 ? out : std::string();
    }

    // Writes `zip`.sig for `version`, signed at `signedAt`.
    bool sign(const fs::path& zip, const std::string& version, const fs::path& keyFile, const std::string& signedAt) {
        const auto r = testsupport::runProgram(
            testsupport::builtProgram("tools/mkpackage/mkpackage"),
            {"sign", zip.string(), version, keyFile.string(), "--signed-at", signedAt}, serverState());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return r.exitCode == 0;
    }

    fs::path keptStatement() const { return fs::path(installFolder()) += ".sig"; }

    // The install folder but for what the sample launcher records of its
    // starts.
    Snapshot installSnapshot() const {
        return snapshotTree(installFolder(), {clientFolder() / "launcher.args", clientFolder() / "launcher.messages",
                                                 clientFolder() / "launcher.log"});
    }

    std::string publicKey;
};

TEST_F(SignedPackages, ASignedPackageInstallsAndItsStatementIsKept) {
    const std::string base = publish();
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    expectOutcome(result, Expected()
                              .installs("2.0.0.0")
                              .logs({"[upgradeManager:386]launcherURL:",
                                     std::string("[upgradeManager:925]Package signature verified ver:2.0.0.0 signed:") +
                                         kSignedEarlier + "\r\n",
                                     "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                              .logsNot({"signature failed"})
                              .shows({}));
    EXPECT_EQ(events(), kEventsWithUpdate);
    EXPECT_EQ(readFile(keptStatement()), readFile(fs::path(package()) += ".sig"));
}

// A static server publishes the statement as it publishes the package: a
// file beside it.
TEST_F(SignedPackages, NginxServesTheStatementBesideThePackage) {
    ASSERT_FALSE(nginxProgram().empty()) << "nginx is not installed (scripts/setup installs nginx-light)";
    Nginx nginx(serverState() / "nginx", served());
    ASSERT_TRUE(nginx.running()) << readFile(serverState() / "nginx/logs/error.log");
    const std::string base = publish("2.0.0.0", "client.zip", {"--package-url", nginx.url("client.zip"), "--md5", packageMd5()});
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    expectOutcome(result, Expected().installs("2.0.0.0").logs({"[upgradeManager:925]Package signature verified"}).shows({}));
    const std::string access = nginx.accessLog();
    EXPECT_NE(access.find("GET /client.zip.sig"), std::string::npos) << access;
    // The statement is asked for before the package.
    EXPECT_LT(access.find("client.zip.sig"), access.find("client.zip HTTP")) << access;
}

// --- packages refused --------------------------------------------------------

fs::path sigOf(const fs::path& zip) {
    return fs::path(zip) += ".sig";
}

void flipMiddleByte(const fs::path& file) {
    std::string bytes = readFile(file);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
    writeFile(file, bytes);
}

class RefusedPackages;

struct Refusal {
    const char* name;
    // Changes what is served (client.zip, client.zip.sig) in `test`.
    std::function<void(RefusedPackages& test)> prepare;
    // What each try logs before its tries line.
    std::string eachTry;
    // The package is fetched (and its MD5 checked) before the refusal.
    bool packageFetched = true;
};

void PrintTo(const Refusal& c, std::ostream* os) {
    *os << c.name;
}

class RefusedPackages : public SignedPackages, public ::testing::WithParamInterface<Refusal> {
public:
    using SignedPackages::keygen;
    using SignedPackages::package;
    using SignedPackages::serverState;
    using SignedPackages::sign;
};

TEST_P(RefusedPackages, EveryTryIsRefusedAndTheInstalledLauncherStartsUntouched) {
    const Refusal& c = GetParam();
    c.prepare(*this);
    resnapshot();
    const Snapshot installedBefore = installSnapshot();
    const std::string base = publish();
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});

    const auto result = run();

    std::vector<std::string> logged{"[upgradeManager:386]launcherURL:"};
    for (int tries = kPackageTries - 1; tries >= 0; --tries) {
        logged.push_back(c.eachTry);
        logged.push_back("[upgradeManager:396]download launcher.zip failed ResCode 3 tryTimes " +
                         std::to_string(tries) + "\r\n");
    }
    logged.push_back("[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK\r\n");
    expectOutcome(result, Expected().installs("1.0.0.0").logs(logged).logsNot({"signature verified"}).shows({kBoxUpdateFailed}));
    EXPECT_EQ(countLogged(c.eachTry), std::size_t(kPackageTries));
    EXPECT_EQ(snapshotChanges(installedBefore, installSnapshot()), std::vector<std::string>{});
    EXPECT_EQ(events(), kEventsWithoutUpdate);
    EXPECT_FALSE(fs::exists(keptStatement()));
    EXPECT_FALSE(fs::exists(home.config() / "Keltora/morvel3/temp/client.upd"));
    EXPECT_FALSE(fs::exists(stagingFolder()));
    // Without a statement the package is not worth a download: the try
    // ends before the package's check, which comes before any download.
    EXPECT_EQ(countLogged("[upgradeManager:605]Check Zip File MD5 failed path:"),
              c.packageFetched ? std::size_t(kPackageTries) : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Statement, RefusedPackages,
    ::testing::Values(
        Refusal{"Unsigned", [](RefusedPackages& g) { fs::remove(sigOf(g.package())); },
                "[upgradeManager:911]Fetch package signature failed url:", false},
        Refusal{"Tampered",
                [](RefusedPackages& g) { flipMiddleByte(g.package()); },
                "[upgradeManager:923]Check package signature failed: other sha256 ver:2.0.0.0 "},
        Refusal{"GrownPackage",
                [](RefusedPackages& g) { writeFile(g.package(), readFile(g.package()) + "x"); },
                "[upgradeManager:923]Check package signature failed: other size ver:2.0.0.0 "},
        Refusal{"SignedByAnotherKey",
                [](RefusedPackages& g) {
                    ASSERT_EQ(g.keygen(g.serverState() / "stranger.key").size(), 44u);
                    ASSERT_TRUE(g.sign(g.package(), "2.0.0.0", g.serverState() / "stranger.key", kSignedLater));
                },
                "[upgradeManager:923]Check package signature failed: unknown key ver:2.0.0.0 "},
        Refusal{"SignatureChanged",
                [](RefusedPackages& g) {
                    // The size line raised by one: the signature no longer
                    // covers what the lines say.
                    std::string text = readFile(sigOf(g.package()));
                    const std::size_t at = text.find("size: ") + 6;
                    text[at] = static_cast<char>(text[at] == '9' ? '1' : text[at] + 1);
                    writeFile(sigOf(g.package()), text);
                },
                "[upgradeManager:923]Check package signature failed: bad signature ver:2.0.0.0 "},
        Refusal{"SignedForAnotherVersion",
                [](RefusedPackages& g) {
                    ASSERT_TRUE(g.sign(g.package(), "2.0.0.1", g.serverState() / "operator.key", kSignedLater));
                },
                "[upgradeManager:923]Check package signature failed: other version ver:2.0.0.0 "},
        Refusal{"StatementOverFourKiB",
                [](RefusedPackages& g) {
                    writeFile(sigOf(g.package()), readFile(sigOf(g.package())) + std::string(4096, '#'));
                },
                "[upgradeManager:911]Fetch package signature failed url:", false},
        Refusal{"NotAStatement",
                [](RefusedPackages& g) {
                    writeFile(sigOf(g.package()), "<html><body>404 Not Found</body></html>\n");
                },
                "[upgradeManager:923]Check package signature failed: malformed ver:2.0.0.0 "}),
    [](const ::testing::TestParamInfo<Refusal>& param) { return std::string(param.param.name); });

// The "Unsigned" case's line names the address it asked for.
TEST_F(SignedPackages, AMissingStatementIsLoggedWithItsAddress) {
    fs::remove(sigOf(package()));
    resnapshot();
    const std::string base = publish();
    writeLauncherIni({base});
    const auto result = run();
    expectOutcome(result, Expected()
                              .installs("1.0.0.0")
                              .logs({"[upgradeManager:911]Fetch package signature failed url:" + base +
                                     "files/client.zip.sig size:-1 status:404\r\n"})
                              .shows({kBoxUpdateFailed}));
}

// A validly signed older package, replayed after a newer one was installed,
// is refused; signed again (a newer date) it installs: that is how an
// operator rolls back.
TEST_F(SignedPackages, AReplayedOlderStatementIsRefusedAndARollbackSignedAgainInstalls) {
    const fs::path key = serverState() / "operator.key";
    const fs::path older = served() / "older.zip";
    ASSERT_EQ(makePackage("3.0.0.0", older).size(), 32u);
    ASSERT_TRUE(sign(older, "3.0.0.0", key, kSignedEarlier));
    ASSERT_TRUE(sign(package(), "2.0.0.0", key, kSignedLater));
    resnapshot();
    writeLauncherIni({publish("2.0.0.0")});
    expectOutcome(run(), Expected().installs("2.0.0.0").shows({}));
    ASSERT_EQ(readFile(keptStatement()), readFile(sigOf(package())));
    stopLaunchers();

    const Snapshot installedBefore = installSnapshot();
    writeLauncherIni({publish("3.0.0.0", "older.zip")});
    expectOutcome(run(), Expected()
                             .installs("2.0.0.0")
                             .logs({std::string("[upgradeManager:923]Check package signature failed: older than "
                                                "installed ver:3.0.0.0 ") ,
                                    std::string(" installed signed:") + kSignedLater + "\r\n"})
                             .shows({kBoxUpdateFailed}));
    EXPECT_EQ(snapshotChanges(installedBefore, installSnapshot()), std::vector<std::string>{});
    EXPECT_EQ(readFile(keptStatement()), readFile(sigOf(package())));
    stopLaunchers();

    ASSERT_TRUE(sign(older, "3.0.0.0", key, "2026-03-01T00:00:00Z"));
    resnapshot();
    expectOutcome(run(), Expected().installs("3.0.0.0").logs({"Package signature verified ver:3.0.0.0"}).shows({}));
    EXPECT_EQ(readFile(keptStatement()), readFile(sigOf(older)));
}

// A kept statement that cannot be read lets any validly signed package in:
// no worse than a first install with a key.
TEST_F(SignedPackages, AnUnreadableKeptStatementAllowsAnySignedPackage) {
    writeFile(keptStatement(), "not a statement\n");
    writeLauncherIni({publish()});
    expectOutcome(run(), Expected().installs("2.0.0.0").logs({"Package signature verified ver:2.0.0.0"}).shows({}));
}

// A program without a key never asks for a statement, and what lies beside
// the package does not matter.
TEST_F(SignedPackages, WithoutAKeyAPackageInstallsAsBefore) {
    ::unsetenv("GL_TEST_UPDATE_KEYS");
    writeFile(sigOf(package()), "garbage\n");
    resnapshot();
    const std::string base = publish();
    writeLauncherIni({base});
    expectOutcome(run(), Expected().installs("2.0.0.0").logsNot({"signature"}).shows({}));
    EXPECT_EQ(events(), kEventsWithUpdate);
    EXPECT_FALSE(fs::exists(keptStatement()));
}

}  // namespace
}  // namespace hostile
