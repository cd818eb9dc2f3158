// The fixture's own case: an ordinary update from 1.0.0.0 to 2.0.0.0 passes
// every check the hostile cases end with, and the checks do see a fault.
#include "hostile/HostileGame.h"

#include "support/TempHome.h"

namespace hostile {
namespace {

using testsupport::writeFile;

class HostileBaseline : public HostileGame {};

TEST_F(HostileBaseline, AnOrdinaryUpdateInstallsTwoPointZeroCompleteAndStartsIt) {
    const std::string base = publish("2.0.0.0");
    ASSERT_FALSE(base.empty());
    writeLauncherIni({base});
    const auto result = run();
    expectOutcome(result, Expected()
                              .installs("2.0.0.0")
                              .logs({"[upgradeManager:386]launcherURL:" + base + "files/client.zip",
                                     "[upgradeManager:208]_ThreadCheckVersion END with start launcher.exe OK"})
                              .logsNot({"failed ResCode"})
                              .shows({}));
    EXPECT_EQ(events(), (std::vector<std::string>{"GLHR_STR NotExist", "LHR_CHK 1.0.0.0", "LHR_UPD 2.0.0.0"}));
}

TEST_F(HostileBaseline, TheChecksSeeADamagedFileAndAWriteOutsideTheOwnFolders) {
    writeFile(clientFolder() / "data/pieces.bin", "changed");
    EXPECT_EQ(damagedFiles(), std::vector<std::string>{"client/data/pieces.bin differs"});
    std::filesystem::remove(clientFolder() / "data/pieces.bin");
    EXPECT_EQ(damagedFiles(), std::vector<std::string>{"client/data/pieces.bin missing"});

    const Snapshot before = outsideSnapshot();
    writeFile(home.home() / ".stray", "x");
    writeFile(package(), "not the package");
    EXPECT_EQ(snapshotChanges(before, outsideSnapshot()).size(), 2u);
}

}  // namespace
}  // namespace hostile
