#include "foundation/StringTable.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>

#include "identity/Identity.h"
#include "platform/text.h"

int LoadStringResource(uint32_t id, wchar_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return 0;
    buffer[0] = L'\0';
    // The texts are the game's identity (its string table file).
    for (std::size_t i = 0; i < identity::kStringCount; ++i) {
        const identity::StringText& e = identity::kStrings[i];
        if (e.id != id) continue;
        const std::wstring text = platform::utf8ToWide(e.utf8);
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
        std::wmemcpy(buffer, text.data(), n);
        buffer[n] = L'\0';
        return static_cast<int>(n);
    }
    return 0;
}
