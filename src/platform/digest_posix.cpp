#include "platform/digest.h"

#include <openssl/evp.h>

#include <cstring>
#include <new>

namespace platform {

namespace {

// Fetched once: looking the algorithm up again on every init costs more than
// digesting a small file.
const EVP_MD* md5Algorithm() {
    static const EVP_MD* const md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
        return fetched != nullptr ? fetched : EVP_md5();
    }();
    return md;
}

}  // namespace

struct Md5Digest::State {
    EVP_MD_CTX* context;
};

Md5Digest::Md5Digest() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return;
    m_state = new (std::nothrow) State{context};
    if (m_state == nullptr) {
        EVP_MD_CTX_free(context);
        return;
    }
    reset();
}

Md5Digest::~Md5Digest() {
    if (m_state == nullptr) return;
    EVP_MD_CTX_free(m_state->context);
    delete m_state;
}

void Md5Digest::reset() {
    if (m_state != nullptr) EVP_DigestInit_ex(m_state->context, md5Algorithm(), nullptr);
}

void Md5Digest::update(const void* data, std::size_t size) {
    if (m_state != nullptr && size > 0) EVP_DigestUpdate(m_state->context, data, size);
}

bool Md5Digest::finish(unsigned char digest[16]) {
    unsigned int len = 0;
    const bool done = m_state != nullptr && EVP_DigestFinal_ex(m_state->context, digest, &len) == 1 && len == 16;
    if (!done) std::memset(digest, 0, 16);
    reset();
    return done;
}

}  // namespace platform
