#include "foundation/StringTable.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>

#include "platform/text.h"

namespace {

struct Entry {
    uint32_t id;
    const char* utf8;
};

constexpr Entry kStrings[] = {
    {IDS_TITLE, "《Morvel 3》"},
    {IDS_PARSE_UPDATE_FAILED,
     "无法解析的更新信息，引导程序更新失败，请重试"},
    {IDS_NEED_64BIT,
     "非常抱歉，为了保障较好的游戏体验，目前本游戏仅支持64位操作系统。我们推荐您使用Windows® 7 / Windows® 8 / "
     "Windows® 10  64位操作系统(最新版本的Service Pack)运行本游戏。给您带来不便之处，还请见谅！"},
    {IDS_MARK_FAILED,
     "创建窗口唯一标识失败"},
    {IDS_UPDATE_FAILED,
     "更新游戏引导程序失败，请重试"},
    {IDS_START_LAUNCHER_FAILED,
     "启动Launcher失败"},
    {IDS_SERVER_ADDRESS_FAILED,
     "获得升级服务器地址失败"},
};

constexpr bool everyIdHasText() {
    for (uint32_t id : kStringIds) {
        bool found = false;
        for (const Entry& e : kStrings) found = found || e.id == id;
        if (!found) return false;
    }
    return std::size(kStrings) == std::size(kStringIds);
}
static_assert(everyIdHasText(), "every string id has exactly one text");

}  // namespace

int LoadStringResource(uint32_t id, wchar_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return 0;
    buffer[0] = L'\0';
    for (const Entry& e : kStrings) {
        if (e.id != id) continue;
        const std::wstring text = platform::utf8ToWide(e.utf8);
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
        std::wmemcpy(buffer, text.data(), n);
        buffer[n] = L'\0';
        return static_cast<int>(n);
    }
    return 0;
}
