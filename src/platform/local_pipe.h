// The launcher pipe: what the Windows program does with the named pipe
// "\\.\pipe\<name>", as a Unix stream socket "<runtime folder>/<name>" (see
// folders.h). Only the game launcher serves it; this program is a client that
// writes whole messages and never reads.
//
// Threads: one object is used by one thread at a time. Writing to a peer that
// has gone away fails with the last error set; it never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class PipeClient {
public:
    enum class OpenResult {
        Opened,
        NoInstance,  // nobody served the pipe within the wait (WaitNamedPipe failed)
        Failed,      // the pipe could not be opened for another reason
    };

    PipeClient() = default;
    ~PipeClient() { close(); }
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    // Connects to the pipe `name`, retrying while nobody serves it until
    // `waitMs` have passed. Blocks at most about `waitMs`.
    OpenResult open(const char* name, uint32_t waitMs);
    // Writes all `size` bytes as one message. False when not open or when
    // the write failed.
    bool write(const void* data, std::size_t size);
    void close();
    bool isOpen() const { return m_handle >= 0; }

private:
    int32_t m_handle = -1;
};

}  // namespace platform
