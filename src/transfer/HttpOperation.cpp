// CURLINFO_CONTENT_LENGTH_DOWNLOAD is the double-valued query this module
// reports through; libcurl marks it deprecated in favour of the _T form.
#define CURL_DISABLE_DEPRECATION
#include "transfer/HttpOperation.h"

#include <cstdio>
#include <cstring>

#include "foundation/Log.h"
#include "platform/sync.h"

namespace {

constexpr const char* kTag = "HttpOperation";
constexpr long kMaxRedirects = 5;
constexpr long kConnectTimeoutSeconds = 30;
constexpr int kTries = 3;

}  // namespace

int HttpOperation::onTransferProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // Any non-zero answer makes libcurl end the transfer with
    // CURLE_ABORTED_BY_CALLBACK: its own way to cancel from outside.
    return static_cast<const HttpOperation*>(self)->m_termination.stop_requested() ? 1 : 0;
}

// The package URL comes from the network: only http and https may be
// fetched, also at the end of a redirect (no file://, ftp://, gopher://...).
// libcurl then fails the request with CURLE_UNSUPPORTED_PROTOCOL.
static void restrictToHttp(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

void HttpOperation::setProgressAbort(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &HttpOperation::onTransferProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

int32_t HttpOperation::getFileSize(const char* url, int32_t timeoutSeconds, int32_t* responseCode) {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        LogPrint("[%s:%d]getFileSize Failed curl_easy_init failed", kTag, 19);
        return -1;
    }
    curl_easy_setopt(handle, CURLOPT_URL, url);
    restrictToHttp(handle);
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    setProgressAbort(handle);

    CURLcode rc = curl_easy_perform(handle);
    if (rc != CURLE_OK) {
        LogPrint("[%s:%d]getFileSize curl_easy_perform Failed url:%s LibcurlRetCode = %d ErrStr:%s", kTag, 36, url,
                 static_cast<int>(rc), curl_easy_strerror(rc));
        curl_easy_cleanup(handle);
        return -1;
    }

    long status = 0;
    rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (rc == CURLE_OK && responseCode != nullptr) *responseCode = static_cast<int32_t>(status);
    if (rc != CURLE_OK || (status != 200 && status != 206)) {
        LogPrint("[%s:%d]getFileSize curl_easy_getinfo Failed url:%s LibcurlRetCode = %d ErrStr:%s rsp_code:%ld", kTag,
                 43, url, static_cast<int>(rc), curl_easy_strerror(rc), status);
        curl_easy_cleanup(handle);
        return -1;
    }

    double contentLength = 0.0;
    rc = curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &contentLength);
    curl_easy_cleanup(handle);
    if (rc != CURLE_OK) {
        LogPrint("[%s:%d]getFileSize curl_easy_getinfo Failed url:%s LibcurlRetCode = %d ErrStr:%s contentLen:%02f", kTag,
                 51, url, static_cast<int>(rc), curl_easy_strerror(rc), contentLength);
        return -1;
    }
    // An unannounced length reads as -1. Lengths past the int32 range have no
    // result of their own; converting them would be undefined, so they are -1.
    if (contentLength < 0.0 || contentLength > 2147483647.0) return -1;
    return static_cast<int32_t>(contentLength);
}

CURL* HttpOperation::initPieceHandle(const char* url, int32_t timeoutSeconds) {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) return nullptr;
    curl_easy_setopt(handle, CURLOPT_URL, url);
    restrictToHttp(handle);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpOperation::onPieceData);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    setProgressAbort(handle);
    return handle;
}

int32_t HttpOperation::loadPiece(CURL* handle, int32_t pieceIndex, PieceBuffer* piece) {
    const uint32_t start = static_cast<uint32_t>(pieceIndex) * kPieceSize;
    const uint32_t end = start + (kPieceSize - 1);
    char range[32];
    std::snprintf(range, sizeof(range), "%u-%u", start, end);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, piece);
    curl_easy_setopt(handle, CURLOPT_RANGE, range);  // libcurl keeps its own copy

    CURLcode rc = CURLE_OK;
    bool arrived = false;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const int32_t runState = state.load(std::memory_order_relaxed);
        if (runState == 1) return 229;
        if (runState == 2 || m_termination.stop_requested()) return 224;
        if (piece != nullptr) piece->length = 0;
        rc = curl_easy_perform(handle);
        if (rc == CURLE_OK) {
            arrived = true;
            break;
        }
        platform::sleepFor(m_retryPauseMs, m_termination);
    }
    if (!arrived) return static_cast<int32_t>(rc);
    if (state.load(std::memory_order_relaxed) != 0) return 0;

    long status = 0;
    rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) return static_cast<int32_t>(rc);
    if (status != 200 && status != 206) return static_cast<int32_t>(status);
    if (status == 200) {
        // A plain 200 is the whole file from its first byte: right only for
        // the first piece of a file that fits in one piece.
        curl_off_t received = 0;
        if (curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &received) != CURLE_OK || pieceIndex != 0 ||
            received > static_cast<curl_off_t>(kPieceSize)) {
            return 200;
        }
    }
    return 0;
}

size_t HttpOperation::onPieceData(char* chunk, size_t size, size_t count, void* target) {
    auto* piece = static_cast<PieceBuffer*>(target);
    if (piece == nullptr || chunk == nullptr) return 0;
    size_t n = size * count;
    if (piece->length + n > kPieceSize) n = kPieceSize - piece->length;
    if (n == 0) return count;
    std::memcpy(piece->data + piece->length, chunk, n);
    piece->length += static_cast<uint32_t>(n);
    return count;
}
