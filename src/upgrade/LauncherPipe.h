// The client end of the game launcher's pipe (launcherprotocol::kPipeName):
// one object per process, reached through getLauncherPipe. It waits for and
// opens the pipe and writes messages in the protocol's layout; nothing is
// ever read back.
//
// Threads: the object is used by one thread at a time (the worker, or the
// connect-launcher timer while the worker waits for it). openPipe blocks for
// at most about 300 ms; sendData never blocks for long (a local socket).
#pragma once

#include <cstddef>
#include <cstdint>

#include "gamelauncher/LauncherProtocol.h"
#include "platform/local_pipe.h"

// How long openPipe waits for the launcher to serve the pipe.
inline constexpr uint32_t kPipeWaitMs = 300;

// Results of openPipe / sendData.
inline constexpr int32_t kPipeOk = 0;
inline constexpr int32_t kPipeNoInstance = -1;  // openPipe: nobody served it within the wait
inline constexpr int32_t kPipeOpenFailed = -2;  // openPipe: it could not be opened
inline constexpr int32_t kPipeNotOpen = -1;     // sendData: no open pipe
inline constexpr int32_t kPipeWriteFailed = -2; // sendData: the write failed
// sendData: more data than the 8,192-byte area holds, or no data for a
// non-zero length. Nothing is written: copying it would overrun the buffer.
inline constexpr int32_t kPipeBadLength = -3;

class LauncherPipe {
public:
    LauncherPipe();
    // Clears the process-wide instance, closes the pipe, clears the buffer.
    ~LauncherPipe();
    LauncherPipe(const LauncherPipe&) = delete;
    LauncherPipe& operator=(const LauncherPipe&) = delete;

    // 0 open; -1 nobody served the pipe within 300 ms; -2 it could not be
    // opened. Failures also go to the debugger output.
    int32_t openPipe();
    // Writes id, command, length and `length` bytes of `data` with one write.
    // 0 written; -1 not open; -2 the write failed; -3 length over 8,192 (or
    // data missing for a non-zero length).
    int32_t sendData(uint8_t id, int32_t command, const uint8_t* data, uint32_t length);
    bool isOpen() const { return m_client.isOpen(); }

private:
    platform::PipeClient m_client;
    // One message as it goes over the pipe: the header, then the data area.
    uint8_t m_buffer[launcherprotocol::kHeaderSize + launcherprotocol::kMaxData];
};

// The process-wide pipe object, created on first use; null only when it
// cannot be made. Deleting it forgets it, so the next call makes a new one.
LauncherPipe* getLauncherPipe();
