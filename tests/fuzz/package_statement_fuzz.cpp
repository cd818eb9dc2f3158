// The package statement parser and check over arbitrary bytes: whatever
// they are, the result is one of the listed outcomes, a parsed statement
// keeps to the field rules, and nothing passes without a trusted key.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/PackageStatement.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    PackageStatement s;
    const StatementCheck parsed = parsePackageStatement(text, s);
    check(parsed == StatementCheck::Ok || parsed == StatementCheck::TooLong || parsed == StatementCheck::NotText ||
          parsed == StatementCheck::Malformed);
    if (parsed == StatementCheck::Ok) {
        check(size <= kStatementMaxBytes);
        check(!s.version.empty() && s.version.size() <= 31);
        check(s.sha256.size() == 64 && s.signedAt.size() == 20);
        check(s.signedPart.data() == text.data() && s.signedPart.size() < text.size());
        // With the key it names trusted and the facts it states, only the
        // signature decides; with no key trusted nothing passes.
        const PackageFacts facts{s.version, s.size, s.sha256, ""};
        const StatementCheck checked = checkPackageStatement(text, {s.key}, facts);
        check(checked == StatementCheck::Ok || checked == StatementCheck::BadSignature);
        check(checkPackageStatement(text, {}, facts) == StatementCheck::UnknownKey);
    } else {
        check(checkPackageStatement(text, {UpdateKey{}}, PackageFacts{}) == parsed);
    }
    return 0;
}
