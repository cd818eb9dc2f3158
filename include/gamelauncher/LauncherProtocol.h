// The launcher protocol: every name and number the bootstrapper and a game's
// own launcher (client/launcher.exe) share. This header is the reference for
// the launcher's developers (docs/launcher-integration.md explains each rule);
// the bootstrapper, the sample launcher and the tests all take the names from
// here, so it includes nothing but the standard library.
//
// How the names become system objects (lock files, a Unix socket, X window
// properties) is the platform layer's business and is spelled out in the
// document; the names and the bytes here are the same on every system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace launcherprotocol {

// The names (markers, window marks, pipe) are the game's identity: their
// values come from the identity file (packaging/identity.cmake) and are
// defined in its one generated translation unit (library gl_identity), so
// that a program of another identity differs in that unit alone. A launcher
// built apart from this project defines them itself, with the same values.

// ---- Markers: "a program of this name runs" --------------------------------

// Held by the bootstrapper from its start to its very end; a second
// bootstrapper that finds it held ends at once.
extern const char* const kBootstrapperMarker;  // "MORVEL3_GAMELAUNCHER"
// Held by the game's launcher for as long as it runs. The bootstrapper only
// tests it, never takes it: held means "a launcher runs", free means "none
// does" (after a quit request: "it has gone").
extern const char* const kLauncherMarker;  // "MV3_LAUNCHER_KT"

// ---- Window marks: a window property of the marker's name, value 1 ---------

// On the bootstrapper's progress window: the bootstrapper's marker's name.
extern const char* const kBootstrapperWindowMark;
// On the launcher's window; the bootstrapper brings the first window carrying
// it to the front whenever it finds the launcher's marker held.
// The launcher's marker's name.
extern const char* const kLauncherWindowMark;
// The value a mark holds: a 32-bit cardinal. Any non-zero value counts.
inline constexpr uint32_t kWindowMarkValue = 1;

// ---- The pipe: served by the launcher, written by the bootstrapper ---------

extern const char* const kPipeName;  // "MV3_GAMELAUNCHER"

// Message ids the bootstrapper sends, each with command 0 and no data.
// Come forward: the installed launcher is current; the bootstrapper hides
// its window, starts nothing and ends.
inline constexpr uint8_t kMsgComeForward = 0x80;
// Quit: the launcher is to be replaced; the bootstrapper waits until the
// launcher's marker is free, then updates the files and starts the new one.
inline constexpr uint8_t kMsgQuit = 0x81;

// A message is a 9-byte header followed by `length` data bytes, written with
// one write; numbers are little-endian whatever the machine:
//   offset 0, 1 byte   id       unsigned
//   offset 1, 4 bytes  command  signed 32-bit, two's complement
//   offset 5, 4 bytes  length   unsigned 32-bit, number of data bytes after
// There is no padding, no terminator and no reply.
inline constexpr std::size_t kIdOffset = 0;
inline constexpr std::size_t kCommandOffset = 1;
inline constexpr std::size_t kLengthOffset = 5;
inline constexpr std::size_t kHeaderSize = 9;
// The bootstrapper sends at most this many data bytes in one message.
inline constexpr uint32_t kMaxData = 8192;

struct MessageHeader {
    uint8_t id = 0;
    int32_t command = 0;
    uint32_t length = 0;
};

using HeaderBytes = std::array<uint8_t, kHeaderSize>;

constexpr HeaderBytes encodeHeader(const MessageHeader& header) {
    HeaderBytes bytes{};
    const auto command = static_cast<uint32_t>(header.command);
    bytes[kIdOffset] = header.id;
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[kCommandOffset + i] = static_cast<uint8_t>(command >> (8 * i));
        bytes[kLengthOffset + i] = static_cast<uint8_t>(header.length >> (8 * i));
    }
    return bytes;
}

constexpr MessageHeader decodeHeader(const HeaderBytes& bytes) {
    uint32_t command = 0;
    uint32_t length = 0;
    for (std::size_t i = 4; i-- > 0;) {
        command = command << 8 | bytes[kCommandOffset + i];
        length = length << 8 | bytes[kLengthOffset + i];
    }
    MessageHeader header;
    header.id = bytes[kIdOffset];
    header.command = static_cast<int32_t>(command);
    header.length = length;
    return header;
}

// ---- The start ------------------------------------------------------------

// The launcher's one argument is this prefix followed directly by the game's
// folder (the bootstrapper's own folder, no trailing separator), as one
// argument, without quotes.
inline constexpr const char* kGamePathPrefix = "-gamepath=";

}  // namespace launcherprotocol
