// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstring>
#include <new>

#include "platform/digest.h"

namespace platform {

namespace {

// The provider is opened once and kept for the process's life: opening it is
// the costly part, and a handle of it serves every thread.
BCRYPT_ALG_HANDLE md5Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (::BCryptOpenAlgorithmProvider(&opened, BCRYPT_MD5_ALGORITHM, nullptr, 0) < 0) return BCRYPT_ALG_HANDLE{};
        return opened;
    }();
    return provider;
}

// The status itself (0xC...) is the last error: it is what the system
// answered, and its mapping lives in ntdll.
bool succeeded(NTSTATUS status) {
    if (status >= 0) return true;
    ::SetLastError(static_cast<DWORD>(status));
    return false;
}

}  // namespace

// `failed` remembers an error of update() until finish(), which then refuses
// the digest instead of handing out that of the bytes that got in.
struct Md5Digest::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

Md5Digest::Md5Digest() {
    if (md5Provider() == nullptr) return;
    m_state = new (std::nothrow) State;
    if (m_state == nullptr) return;
    reset();
    if (m_state->hash == nullptr) {
        delete m_state;
        m_state = nullptr;
    }
}

Md5Digest::~Md5Digest() {
    if (m_state == nullptr) return;
    if (m_state->hash != nullptr) ::BCryptDestroyHash(m_state->hash);
    delete m_state;
}

// A hash object takes no input after it is finished: starting over is a new
// one (the provider allocates its memory).
void Md5Digest::reset() {
    if (m_state == nullptr) return;
    if (m_state->hash != nullptr) ::BCryptDestroyHash(m_state->hash);
    m_state->hash = nullptr;
    m_state->failed = !succeeded(::BCryptCreateHash(md5Provider(), &m_state->hash, nullptr, 0, nullptr, 0, 0));
}

void Md5Digest::update(const void* data, std::size_t size) {
    if (m_state == nullptr || m_state->hash == nullptr || m_state->failed) return;
    auto* at = static_cast<PUCHAR>(const_cast<void*>(data));
    // One call takes at most a ULONG of bytes; the input is only read.
    while (size > 0) {
        const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!succeeded(::BCryptHashData(m_state->hash, at, chunk, 0))) {
            m_state->failed = true;
            return;
        }
        at += chunk;
        size -= chunk;
    }
}

bool Md5Digest::finish(unsigned char digest[16]) {
    const bool done = m_state != nullptr && m_state->hash != nullptr && !m_state->failed &&
                      succeeded(::BCryptFinishHash(m_state->hash, digest, 16, 0));
    if (!done) std::memset(digest, 0, 16);
    reset();
    return done;
}

}  // namespace platform

#endif  // _WIN32
