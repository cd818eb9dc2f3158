#include "gamelauncher/LauncherProtocol.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace proto = launcherprotocol;

namespace {

std::string hex(const proto::HeaderBytes& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

}  // namespace

// The one place the shared names and numbers are checked against their
// spelling: a launcher built from the document finds the program only if
// these never change.
TEST(LauncherProtocol, NamesAndNumbersAreFixed) {
    EXPECT_STREQ(proto::kBootstrapperMarker, "MORVEL3_GAMELAUNCHER");
    EXPECT_STREQ(proto::kLauncherMarker, "MV3_LAUNCHER_KT");
    EXPECT_STREQ(proto::kBootstrapperWindowMark, "MORVEL3_GAMELAUNCHER");
    EXPECT_STREQ(proto::kLauncherWindowMark, "MV3_LAUNCHER_KT");
    EXPECT_EQ(proto::kWindowMarkValue, 1u);
    EXPECT_STREQ(proto::kPipeName, "MV3_GAMELAUNCHER");
    EXPECT_EQ(proto::kMsgComeForward, 0x80);
    EXPECT_EQ(proto::kMsgQuit, 0x81);
    EXPECT_EQ(proto::kHeaderSize, 9u);
    EXPECT_EQ(proto::kMaxData, 8192u);
    EXPECT_STREQ(proto::kGamePathPrefix, "-gamepath=");
}

// Little-endian on any machine, no padding; the first two rows are the only
// messages the program sends, the others are the examples of
// docs/launcher-integration.md.
TEST(LauncherProtocol, HeaderBytes) {
    struct Case {
        proto::MessageHeader header;
        const char* bytes;
    };
    const Case cases[] = {
        {{proto::kMsgComeForward, 0, 0}, "80 00 00 00 00 00 00 00 00"},
        {{proto::kMsgQuit, 0, 0}, "81 00 00 00 00 00 00 00 00"},
        {{0x42, -2, 3}, "42 fe ff ff ff 03 00 00 00"},
        {{0x01, 0x01020304, 8192}, "01 04 03 02 01 00 20 00 00"},
        {{0xff, INT32_MIN, UINT32_MAX}, "ff 00 00 00 80 ff ff ff ff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const proto::HeaderBytes bytes = proto::encodeHeader(c.header);
        EXPECT_EQ(hex(bytes), c.bytes);
        const proto::MessageHeader back = proto::decodeHeader(bytes);
        EXPECT_EQ(back.id, c.header.id);
        EXPECT_EQ(back.command, c.header.command);
        EXPECT_EQ(back.length, c.header.length);
    }
    // Usable where a launcher needs a constant.
    static_assert(proto::encodeHeader({proto::kMsgQuit, 0, 0})[proto::kIdOffset] == proto::kMsgQuit);
    static_assert(proto::decodeHeader(proto::encodeHeader({7, -1, 5})).command == -1);
}
