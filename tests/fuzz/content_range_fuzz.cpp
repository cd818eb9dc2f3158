// The Content-Range parser over arbitrary header values: whatever it accepts
// formats back to exactly the same text, and it keeps S <= E < T.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "transfer/ContentRange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
    if (!parseContentRange(text, first, last, total)) return 0;
    if (!(first <= last && last < total)) __builtin_trap();
    // Leading zeros are the one liberty the parser takes.
    if (text.find("/0") == std::string_view::npos && text.find(" 0") == std::string_view::npos &&
        text.find("-0") == std::string_view::npos) {
        const std::string again =
            "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(total);
        if (again != text) __builtin_trap();
    }
    return 0;
}
