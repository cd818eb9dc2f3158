#include "app/systemSign.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/Log.h"
#include "platform/system_info.h"
#include "support/LogReader.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

// What the stand-in for the kernel reports; null means it will not tell.
const char* g_machine = nullptr;

bool scriptedMachine(char* buffer, std::size_t capacity) {
    if (g_machine == nullptr) return false;
    std::strncpy(buffer, g_machine, capacity - 1);
    buffer[capacity - 1] = '\0';
    return true;
}

class SystemSignTest : public ::testing::Test {
protected:
    void SetUp() override { m_previous = platform::setMachineNameSource(&scriptedMachine); }
    void TearDown() override {
        platform::setMachineNameSource(m_previous);
        ReleaseLogger();
    }
    std::string log() {
        ReleaseLogger();
        return testsupport::readLogs(home);
    }
    testsupport::TempHome home;
    platform::MachineNameSource m_previous = nullptr;
};

TEST_F(SystemSignTest, OnlyAmd64AndIa64CountAsSixtyFourBit) {
    struct Case {
        const char* machine;
        uint16_t architecture;
        int32_t bits;
    };
    const Case cases[] = {
        {"x86_64", 9, 64}, {"ia64", 6, 64},   {"aarch64", 12, 32}, {"i686", 0, 32},
        {"i386", 0, 32},   {"armv7l", 0, 32}, {"X86_64", 0, 32},   {"", 0, 32},
    };
    for (const Case& c : cases) {
        g_machine = c.machine;
        SYSTEM_INFO info{};
        GetNativeSystemInfoOrFallback(&info);
        EXPECT_EQ(info.wProcessorArchitecture, c.architecture) << c.machine;
        EXPECT_EQ(GetOSBits(), c.bits) << c.machine;
    }
    EXPECT_EQ(log().find("GetModuleHandle failed"), std::string::npos);
}

TEST_F(SystemSignTest, ASystemThatDoesNotTellLeavesTheRecordAndCountsAsThirtyTwoBit) {
    g_machine = nullptr;
    SYSTEM_INFO info{};
    info.wProcessorArchitecture = 0xBEEF;
    info.dwPageSize = 77;
    GetNativeSystemInfoOrFallback(&info);
    EXPECT_EQ(info.wProcessorArchitecture, 0xBEEF);
    EXPECT_EQ(info.dwPageSize, 77u);
    EXPECT_EQ(GetOSBits(), 32);
    GetNativeSystemInfoOrFallback(nullptr);  // nothing to fill, nothing logged
    const std::string text = log();
    const std::string line = "[systemSign:247] GetModuleHandle failed\r\n";
    const auto first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    // Once for the explicit call and once inside GetOSBits.
    EXPECT_NE(text.find(line, first + 1), std::string::npos);
    EXPECT_EQ(text.find(line, text.find(line, first + 1) + 1), std::string::npos);
}

TEST(SystemSignHost, TheRealSystemIsDescribed) {
    platform::setMachineNameSource(nullptr);
    char machine[65];
    ASSERT_TRUE(platform::nativeMachineName(machine, sizeof machine));
    SYSTEM_INFO info{};
    GetNativeSystemInfoOrFallback(&info);
    EXPECT_EQ(info.wProcessorArchitecture, platform::architectureOfMachine(machine));
    EXPECT_GT(info.dwPageSize, 0u);
    EXPECT_GT(info.dwNumberOfProcessors, 0u);
}

}  // namespace
