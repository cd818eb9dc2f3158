// The launcher pipe "<name>": a Unix stream socket "<runtime folder>/<name>"
// (see folders.h); on Windows the named pipe "\\.\pipe\<name>". Only the
// game launcher serves it (PipeServer); this program is a client
// (PipeClient) that writes whole messages and never reads.
//
// A stream socket keeps no message boundaries: the reader frames messages by
// their own header. A message is written with one send, so a reader that
// reads exactly its size gets exactly its bytes.
//
// Threads: one object is used by one thread at a time, except
// PipeServer::wake. Writing to a peer that has gone away fails with the last
// error set; it never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/native_handle.h"

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

    // Connects to the pipe `name`, retrying every few milliseconds while
    // nobody serves it (no socket, a stale one, a full backlog) until
    // `waitMs` have passed. Blocks at most about `waitMs`. An open pipe is
    // closed first. Failed (last error set) for a name that cannot be a
    // socket path or any other connect error.
    OpenResult open(const char* name, uint32_t waitMs);
    // Writes all `size` bytes as one message. False, with the last error
    // set, when not open, when the peer has gone, or when the peer has not
    // taken the bytes within kWriteTimeoutMs (it stopped reading).
    bool write(const void* data, std::size_t size);
    void close();
    bool isOpen() const { return m_handle.valid(); }

    static constexpr int32_t kWriteTimeoutMs = 5000;

private:
    UniqueHandle m_handle;
};

// The serving end, for the game launcher (tools/sample-launcher) and tests.
// A pipe of one instance, it serves one client at a time:
// accept, read that client's messages until it closes, disconnect, accept
// the next. Clients that connect meanwhile wait in the socket's backlog.
class PipeServer {
public:
    enum class Result {
        Ok,
        TimedOut,  // nothing happened within the time-out
        Woken,     // wake() was called (now or before)
        Closed,    // the client closed its end before all bytes came
        Failed,    // a system call failed; the last error says why
    };

    PipeServer();
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Serves the pipe `name`: a socket file of mode 0600 in the runtime
    // folder. A socket file nobody serves (left by a server that died) is
    // replaced; one that a live server answers on is not (false, last error
    // EADDRINUSE). False, with the last error set, on any other failure.
    bool listen(const char* name);
    // Waits up to `timeoutMs` (negative: no limit) for the next client and
    // makes it the current one, dropping the previous.
    Result accept(int32_t timeoutMs);
    // Reads exactly `size` bytes from the current client, waiting up to
    // `timeoutMs` in all (negative: no limit). Closed when the client ends
    // first; the bytes that came are then lost. Failed without a client.
    Result read(void* buffer, std::size_t size, int32_t timeoutMs);
    // Drops the current client (its next write fails).
    void disconnect();
    bool hasClient() const { return m_client.valid(); }
    // Makes every current and later wait of this object return Woken.
    // Async-signal-safe and callable from any thread, so that a signal
    // handler can end a server waiting without a limit.
    void wake();
    // Stops serving: drops the client and removes the socket file, unless
    // another server has replaced it meanwhile.
    void close();

private:
    Result waitReadable(NativeHandle handle, int64_t deadlineMs);

    UniqueHandle m_listen;
    UniqueHandle m_client;
    UniqueHandle m_wake;
    // The runtime folder, held open while serving: the socket file is
    // reached through it, however long the folder's path.
    UniqueHandle m_folder;
    uint64_t m_device = 0;
    uint64_t m_inode = 0;
    std::string m_name;
};

}  // namespace platform
