// MD5 and SHA-256 from the system's cryptography: OpenSSL's EVP interface on
// POSIX, CNG (bcrypt) on Windows. The digest of the same bytes is the same on
// both. Both use the processor's hashing instructions where it has them.
//
// One digest object is used by one thread at a time; any number may exist at
// once. Nothing here blocks or logs.
#pragma once

#include <cstddef>

namespace platform {

enum class DigestAlgorithm { Md5, Sha256 };

class Digest {
public:
    // Ready for input. When the system gives no hashing context (out of
    // memory, no provider of the algorithm) valid() is false and every digest
    // is refused.
    explicit Digest(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    bool valid() const { return m_state != nullptr; }
    // The digest's length in bytes: 16 for MD5, 32 for SHA-256.
    std::size_t size() const { return m_algorithm == DigestAlgorithm::Md5 ? 16 : 32; }
    // Drops the input taken so far.
    void reset();
    void update(const void* data, std::size_t size);
    // Writes the size()-byte digest of the input since the last reset and
    // starts over. False, with `digest` zeroed, when the system failed.
    bool finish(unsigned char* digest);

private:
    struct State;
    State* m_state = nullptr;
    DigestAlgorithm m_algorithm;
};

class Md5Digest : public Digest {
public:
    Md5Digest() : Digest(DigestAlgorithm::Md5) {}
};

class Sha256Digest : public Digest {
public:
    Sha256Digest() : Digest(DigestAlgorithm::Sha256) {}
};

}  // namespace platform
