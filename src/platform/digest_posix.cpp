#include "platform/digest.h"

#include <openssl/evp.h>

#include <cstring>
#include <new>

namespace platform {

namespace {

// Fetched once: looking the algorithm up again on every init costs more than
// digesting a small file.
const EVP_MD* algorithmOf(DigestAlgorithm algorithm) {
    static const EVP_MD* const md5 = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
        return fetched != nullptr ? fetched : EVP_md5();
    }();
    static const EVP_MD* const sha256 = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched != nullptr ? fetched : EVP_sha256();
    }();
    return algorithm == DigestAlgorithm::Md5 ? md5 : sha256;
}

}  // namespace

struct Digest::State {
    EVP_MD_CTX* context;
};

Digest::Digest(DigestAlgorithm algorithm) : m_algorithm(algorithm) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return;
    m_state = new (std::nothrow) State{context};
    if (m_state == nullptr) {
        EVP_MD_CTX_free(context);
        return;
    }
    reset();
}

Digest::~Digest() {
    if (m_state == nullptr) return;
    EVP_MD_CTX_free(m_state->context);
    delete m_state;
}

void Digest::reset() {
    if (m_state != nullptr) EVP_DigestInit_ex(m_state->context, algorithmOf(m_algorithm), nullptr);
}

void Digest::update(const void* data, std::size_t size) {
    if (m_state != nullptr && size > 0) EVP_DigestUpdate(m_state->context, data, size);
}

bool Digest::finish(unsigned char* digest) {
    unsigned int len = 0;
    const bool done = m_state != nullptr && EVP_DigestFinal_ex(m_state->context, digest, &len) == 1 && len == size();
    if (!done) std::memset(digest, 0, size());
    reset();
    return done;
}

}  // namespace platform
