// The texts the user sees, exactly as the resources hold them, and the
// LoadStringW cut rule.
#include "foundation/StringTable.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

TEST(StringTableTest, TextsAreExact) {
    struct Case {
        uint32_t id;
        const wchar_t* text;
    };
    const Case cases[] = {
        {103, L"《Morvel 3》"},
        {104, L"无法解析的更新信息，引导程序更新失败，请重试"},
        {105, L"非常抱歉，为了保障较好的游戏体验，目前本游戏仅支持64位操作系统。我们推荐您使用Windows® 7 / Windows® 8 / "
              L"Windows® 10  64位操作系统(最新版本的Service Pack)运行本游戏。给您带来不便之处，还请见谅！"},
        {110, L"创建窗口唯一标识失败"},
        {113, L"更新游戏引导程序失败，请重试"},
        {117, L"启动Launcher失败"},
        {120, L"获得升级服务器地址失败"},
    };
    for (const Case& c : cases) {
        wchar_t buffer[256];
        const int n = LoadStringResource(c.id, buffer, 256);
        EXPECT_EQ(std::wstring(buffer), c.text) << c.id;
        EXPECT_EQ(n, static_cast<int>(std::wcslen(c.text))) << c.id;
    }
}

TEST(StringTableTest, UnknownIdsAndSmallBuffers) {
    wchar_t buffer[8] = {L'x', L'x'};
    EXPECT_EQ(LoadStringResource(106, buffer, 8), 0);
    EXPECT_EQ(buffer[0], L'\0');
    // Cut to the buffer less its terminator.
    EXPECT_EQ(LoadStringResource(117, buffer, 4), 3);
    EXPECT_EQ(std::wstring(buffer), L"启动L");
    EXPECT_EQ(LoadStringResource(117, buffer, 0), 0);
    EXPECT_EQ(LoadStringResource(117, nullptr, 8), 0);
}

}  // namespace
