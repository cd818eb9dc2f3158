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
BCRYPT_ALG_HANDLE openProvider(LPCWSTR name) {
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (::BCryptOpenAlgorithmProvider(&opened, name, nullptr, 0) < 0) return BCRYPT_ALG_HANDLE{};
    return opened;
}

BCRYPT_ALG_HANDLE providerOf(DigestAlgorithm algorithm) {
    static const BCRYPT_ALG_HANDLE md5 = openProvider(BCRYPT_MD5_ALGORITHM);
    static const BCRYPT_ALG_HANDLE sha256 = openProvider(BCRYPT_SHA256_ALGORITHM);
    return algorithm == DigestAlgorithm::Md5 ? md5 : sha256;
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
struct Digest::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

Digest::Digest(DigestAlgorithm algorithm) : m_algorithm(algorithm) {
    if (providerOf(m_algorithm) == nullptr) return;
    m_state = new (std::nothrow) State;
    if (m_state == nullptr) return;
    reset();
    if (m_state->hash == nullptr) {
        delete m_state;
        m_state = nullptr;
    }
}

Digest::~Digest() {
    if (m_state == nullptr) return;
    if (m_state->hash != nullptr) ::BCryptDestroyHash(m_state->hash);
    delete m_state;
}

// A hash object takes no input after it is finished: starting over is a new
// one (the provider allocates its memory).
void Digest::reset() {
    if (m_state == nullptr) return;
    if (m_state->hash != nullptr) ::BCryptDestroyHash(m_state->hash);
    m_state->hash = nullptr;
    m_state->failed = !succeeded(::BCryptCreateHash(providerOf(m_algorithm), &m_state->hash, nullptr, 0, nullptr, 0, 0));
}

void Digest::update(const void* data, std::size_t size) {
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

bool Digest::finish(unsigned char* digest) {
    const bool done = m_state != nullptr && m_state->hash != nullptr && !m_state->failed &&
                      succeeded(::BCryptFinishHash(m_state->hash, digest, static_cast<ULONG>(size()), 0));
    if (!done) std::memset(digest, 0, size());
    reset();
    return done;
}

}  // namespace platform

#endif  // _WIN32
