// MD5 from the system's cryptography: OpenSSL's EVP interface on POSIX, CNG
// (bcrypt) on Windows. The digest of the same bytes is the same on both.
//
// One Md5Digest is used by one thread at a time; any number may exist at once.
// Nothing here blocks or logs.
#pragma once

#include <cstddef>

namespace platform {

class Md5Digest {
public:
    // Ready for input. When the system gives no hashing context (out of
    // memory, no MD5 provider) valid() is false and every digest is refused.
    Md5Digest();
    ~Md5Digest();
    Md5Digest(const Md5Digest&) = delete;
    Md5Digest& operator=(const Md5Digest&) = delete;

    bool valid() const { return m_state != nullptr; }
    // Drops the input taken so far.
    void reset();
    void update(const void* data, std::size_t size);
    // Writes the 16-byte digest of the input since the last reset and starts
    // over. False, with `digest` zeroed, when the system failed.
    bool finish(unsigned char digest[16]);

private:
    struct State;
    State* m_state = nullptr;
};

}  // namespace platform
