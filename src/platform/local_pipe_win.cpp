// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/local_pipe.h"

namespace platform {

// On this system the pipe is "\\.\pipe\<name>", a byte-mode pipe of one
// instance. The server's instance handle is m_listen; m_client holds the
// event the current client's reads complete on, so that it is valid exactly
// while a client is connected; m_wake is a manual-reset event that is never
// reset. m_folder, m_device and m_inode have no use here: the system removes
// the pipe with its last handle.

namespace {

// Between attempts while no instance exists: WaitNamedPipe answers at once
// then instead of waiting.
constexpr DWORD kRetryPauseMs = 10;
constexpr DWORD kPipeBufferBytes = 8192 + 64;

int64_t nowMs() {
    return static_cast<int64_t>(::GetTickCount64());
}

// The calls that answer a null handle on failure, as kInvalidHandle.
NativeHandle orInvalid(HANDLE handle) {
    return handle != nullptr ? handle : kInvalidHandle;
}

// The whole pipe path, "\\.\pipe\" included, holds at most 256 characters.
constexpr std::size_t kMaxPipePath = 256;

// False (last error set) for a name that cannot be one level below \\.\pipe.
// A name too long for a pipe fails here: the system would only answer "no
// such pipe", and a client would wait for a server that can never come.
bool pipePath(const char* name, std::wstring& out) {
    if (name == nullptr || name[0] == '\0') {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    out = L"\\\\.\\pipe\\";
    for (const char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\\' || c == '/' || c >= 0x80) {
            ::SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        out += static_cast<wchar_t>(c);
    }
    if (out.size() > kMaxPipePath) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// Whether any server serves `path` now. Asks without connecting, so that
// nobody's instance is taken.
bool isServed(const std::wstring& path) {
    if (::WaitNamedPipeW(path.c_str(), 1)) return true;
    return ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

DWORD leftMs(int64_t deadlineMs) {
    if (deadlineMs < 0) return INFINITE;
    const int64_t left = deadlineMs - nowMs();
    return left > 0 ? static_cast<DWORD>(std::min<int64_t>(left, 0x7FFFFFFF)) : 0;
}

// Ends an overlapped operation that is still pending: the OVERLAPPED lives
// on the caller's stack and must not be left to a later completion.
void cancelAndSettle(HANDLE file, OVERLAPPED& ov) {
    const DWORD error = ::GetLastError();
    DWORD ignored = 0;
    if (::CancelIoEx(file, &ov) || ::GetLastError() != ERROR_NOT_FOUND) {
        (void)::GetOverlappedResult(file, &ov, &ignored, TRUE);
    }
    ::SetLastError(error);
}

// A descriptor that admits the user this process runs as, and the system,
// and nobody else: the default one would let every local account open the
// pipe for reading and so take its one instance.
struct UserOnlySecurity {
    std::vector<unsigned char> token;
    std::vector<unsigned char> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};

    bool build() {
        HANDLE process = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &process)) return false;
        UniqueHandle owner(process);
        DWORD size = 0;
        ::GetTokenInformation(process, TokenUser, nullptr, 0, &size);
        if (size == 0) return false;
        token.resize(size);
        if (!::GetTokenInformation(process, TokenUser, token.data(), size, &size)) return false;
        PSID user = reinterpret_cast<TOKEN_USER*>(token.data())->User.Sid;
        alignas(SID) unsigned char systemSid[SECURITY_MAX_SID_SIZE];
        DWORD systemSize = sizeof systemSid;
        if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &systemSize)) return false;
        const DWORD aclSize = static_cast<DWORD>(sizeof(ACL) + 2 * sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(user) +
                                                 ::GetLengthSid(systemSid));
        acl.resize(aclSize);
        auto* list = reinterpret_cast<ACL*>(acl.data());
        if (!::InitializeAcl(list, aclSize, ACL_REVISION) ||
            !::AddAccessAllowedAce(list, ACL_REVISION, GENERIC_ALL, user) ||
            !::AddAccessAllowedAce(list, ACL_REVISION, GENERIC_ALL, systemSid) ||
            !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE)) {
            return false;
        }
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
        return true;
    }
};

}  // namespace

PipeClient::OpenResult PipeClient::open(const char* name, uint32_t waitMs) {
    close();
    std::wstring path;
    if (!pipePath(name, path)) return OpenResult::Failed;
    const int64_t deadline = nowMs() + waitMs;
    for (;;) {
        // Identification only: whoever serves the name (it need not be the
        // launcher: pipe names are machine-wide) can learn who connected,
        // but never act as this user. Overlapped, so that a write can give
        // up on a server that stopped reading.
        HANDLE pipe = ::CreateFileW(
            path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            m_handle.reset(pipe);
            return OpenResult::Opened;
        }
        DWORD error = ::GetLastError();
        // Busy: the one instance serves another client; no pipe: nobody
        // serves it yet. Both may change within the wait.
        if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) return OpenResult::Failed;
        const DWORD left = leftMs(deadline);
        if (left == 0) {
            ::SetLastError(error);
            return OpenResult::NoInstance;
        }
        if (error == ERROR_PIPE_BUSY) {
            if (!::WaitNamedPipeW(path.c_str(), left)) {
                error = ::GetLastError();
                if (error == ERROR_SEM_TIMEOUT) return OpenResult::NoInstance;
                if (error != ERROR_FILE_NOT_FOUND) return OpenResult::Failed;
                ::Sleep(std::min(left, kRetryPauseMs));
            }
        } else {
            ::Sleep(std::min(left, kRetryPauseMs));
        }
    }
}

bool PipeClient::write(const void* data, std::size_t size) {
    if (!m_handle.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const UniqueHandle event(orInvalid(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    if (!event.valid()) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 0x40000000));
        DWORD done = 0;
        if (!::WriteFile(m_handle.get(), p, chunk, nullptr, &ov)) {
            if (::GetLastError() != ERROR_IO_PENDING) return false;
            if (::WaitForSingleObject(event.get(), static_cast<DWORD>(kWriteTimeoutMs)) != WAIT_OBJECT_0) {
                ::SetLastError(ERROR_TIMEOUT);
                cancelAndSettle(m_handle.get(), ov);
                return false;
            }
        }
        // A pipe that broke meanwhile (the server went) fails here.
        if (!::GetOverlappedResult(m_handle.get(), &ov, &done, FALSE)) return false;
        p += done;
        size -= done;
    }
    return true;
}

void PipeClient::close() {
    m_handle.reset();
}

PipeServer::PipeServer() : m_wake(orInvalid(::CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

PipeServer::~PipeServer() {
    close();
}

// The first instance only: when the name is served already (by another
// launcher, or by someone squatting it) this fails (ERROR_ACCESS_DENIED;
// Wine answers ERROR_PIPE_BUSY) instead of adding an instance to a pipe
// someone else created. Remote
// clients are turned away: the pipe is for programs on this machine. A name
// that is served already is refused before the flag is even tried: Wine
// ignores the flag when the other server allows more instances.
bool PipeServer::listen(const char* name) {
    close();
    std::wstring path;
    if (!pipePath(name, path)) return false;
    if (isServed(path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    UserOnlySecurity security;
    if (!security.build()) return false;
    HANDLE pipe =
        ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                           kPipeBufferBytes, kPipeBufferBytes, 0, &security.attributes);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    m_listen.reset(pipe);
    m_name = name;
    return true;
}

// Waits for `handle` (an event) or the wake event, whichever comes first;
// the wake event wins when both are set.
PipeServer::Result PipeServer::waitReadable(NativeHandle handle, int64_t deadlineMs) {
    HANDLE handles[2] = {m_wake.get(), handle};
    const bool withWake = m_wake.valid();
    const DWORD r =
        ::WaitForMultipleObjects(withWake ? 2 : 1, withWake ? handles : handles + 1, FALSE, leftMs(deadlineMs));
    if (r == WAIT_TIMEOUT) return Result::TimedOut;
    if (r == WAIT_FAILED) return Result::Failed;
    if (withWake && r == WAIT_OBJECT_0) return Result::Woken;
    return Result::Ok;
}

PipeServer::Result PipeServer::accept(int32_t timeoutMs) {
    disconnect();
    if (!m_listen.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return Result::Failed;
    }
    UniqueHandle event(orInvalid(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    if (!event.valid()) return Result::Failed;
    const int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    for (;;) {
        if (m_wake.valid() && ::WaitForSingleObject(m_wake.get(), 0) == WAIT_OBJECT_0) return Result::Woken;
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        if (::ConnectNamedPipe(m_listen.get(), &ov)) break;
        DWORD error = ::GetLastError();
        // The client came between the instance's creation (or the last
        // disconnect) and this call.
        if (error == ERROR_PIPE_CONNECTED) break;
        if (error == ERROR_IO_PENDING) {
            const Result ready = waitReadable(event.get(), deadline);
            if (ready != Result::Ok) {
                cancelAndSettle(m_listen.get(), ov);
                return ready;
            }
            DWORD ignored = 0;
            if (::GetOverlappedResult(m_listen.get(), &ov, &ignored, FALSE)) break;
            error = ::GetLastError();
        }
        // A client that connected and closed before it was seen: let the
        // next one in.
        if (error != ERROR_NO_DATA) return Result::Failed;
        ::DisconnectNamedPipe(m_listen.get());
    }
    ::ResetEvent(event.get());
    m_client = std::move(event);
    return Result::Ok;
}

PipeServer::Result PipeServer::read(void* buffer, std::size_t size, int32_t timeoutMs) {
    if (!m_client.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return Result::Failed;
    }
    const int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        OVERLAPPED ov{};
        ov.hEvent = m_client.get();
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 0x40000000));
        DWORD done = 0;
        if (!::ReadFile(m_listen.get(), p, chunk, nullptr, &ov)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE) return Result::Closed;
            if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return Result::Failed;
            if (error == ERROR_IO_PENDING) {
                const Result ready = waitReadable(m_client.get(), deadline);
                if (ready != Result::Ok) {
                    cancelAndSettle(m_listen.get(), ov);
                    return ready;
                }
            }
        }
        if (!::GetOverlappedResult(m_listen.get(), &ov, &done, FALSE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE) return Result::Closed;
            if (error != ERROR_MORE_DATA) return Result::Failed;
        }
        p += done;
        size -= done;
    }
    return Result::Ok;
}

void PipeServer::disconnect() {
    if (!m_client.valid()) return;
    ::DisconnectNamedPipe(m_listen.get());
    m_client.reset();
}

void PipeServer::wake() {
    if (!m_wake.valid()) return;
    const DWORD error = ::GetLastError();
    ::SetEvent(m_wake.get());
    ::SetLastError(error);
}

// The system removes the pipe with the instance's last handle; there is no
// file to clean up.
void PipeServer::close() {
    disconnect();
    m_listen.reset();
    m_name.clear();
}

}  // namespace platform

#endif  // _WIN32
