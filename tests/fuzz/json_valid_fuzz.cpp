// JsonIsValid over arbitrary bytes: it must answer without crashing, reading
// out of bounds or exhausting the stack, whatever the nesting.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // adds the NUL
    const bool first = JsonIsValid(text.c_str());
    // The answer depends on the text alone.
    if (JsonIsValid(text.c_str()) != first) __builtin_trap();
    return 0;
}
