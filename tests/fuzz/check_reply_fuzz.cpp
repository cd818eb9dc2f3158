// The update check's reply walk over arbitrary reply text: through the
// validity check as the check itself does, and straight through JsonParse,
// since the walk must survive any tree (deep nesting included). Every field
// stays terminated inside its bound.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/Json.h"
#include "service/KTUpgrade.h"

namespace {

int dropLine(const wchar_t*) {
    return 0;
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void checkRecord(const CheckReply& r) {
    for (const auto& e : r.entries) check(std::memchr(e.value, '\0', e.size) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static KTUpgrade client(L"/nonexistent", dropLine);
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
        if (root) {
            CheckReply record;
            client.parseCheckReply(*root, record);
            checkRecord(record);
        }
    }
    if (JsonIsValid(text.c_str())) {
        std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
        if (root) {
            CheckReply record;
            client.parseCheckReply(*root, record);
            checkRecord(record);
        }
    }
    return 0;
}
