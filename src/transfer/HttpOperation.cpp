// CURLINFO_CONTENT_LENGTH_DOWNLOAD is the double-valued query this module
// reports through; libcurl marks it deprecated in favour of the _T form.
#define CURL_DISABLE_DEPRECATION
#include "transfer/HttpOperation.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/Log.h"
#include "platform/sync.h"
#include "transfer/CurlStop.h"
#include "transfer/ContentRange.h"

namespace {

constexpr ModuleLog kLog{"HttpOperation", L"HttpOperation"};
constexpr long kMaxRedirects = 5;
constexpr long kConnectTimeoutSeconds = 30;
constexpr int kTries = 3;

// A 206 holds the piece only when it says it carries exactly the requested
// bytes of a file of the size the size query gave, and the body has them all.
// Servers may legally answer less than asked or a file may have changed
// between the size query and the piece; either would put wrong bytes into
// the file under a success.
CURLcode checkPartialReply(CURL* handle, uint32_t start, uint32_t pieceSize, uint32_t fileSize,
                           const PieceBuffer* piece) {
    curl_header* header = nullptr;
    if (curl_easy_header(handle, "Content-Range", 0, CURLH_HEADER, -1, &header) != CURLHE_OK) {
        return CURLE_RANGE_ERROR;
    }
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
    if (fileSize == 0 || start >= fileSize || !parseContentRange(header->value, first, last, total)) {
        return CURLE_RANGE_ERROR;
    }
    const uint64_t wantedLast = std::min<uint64_t>(uint64_t{start} + (pieceSize - 1), uint64_t{fileSize} - 1);
    if (first != start || last != wantedLast || total != fileSize) return CURLE_RANGE_ERROR;
    const uint64_t wanted = wantedLast - start + 1;
    curl_off_t received = 0;
    if (curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &received) != CURLE_OK ||
        static_cast<uint64_t>(received) != wanted || piece == nullptr || piece->length != wanted) {
        return CURLE_PARTIAL_FILE;
    }
    return CURLE_OK;
}

}  // namespace

// The package URL comes from the network: only http and https may be
// fetched, also at the end of a redirect (no file://, ftp://, gopher://...).
// libcurl then fails the request with CURLE_UNSUPPORTED_PROTOCOL.
static void restrictToHttp(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

int32_t HttpOperation::getFileSize(const char* url, int32_t timeoutSeconds, int32_t* responseCode) {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        kLog(19, "getFileSize Failed curl_easy_init failed");
        return -1;
    }
    curl_easy_setopt(handle, CURLOPT_URL, url);
    restrictToHttp(handle);
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    abortTransferOnStop(handle, &m_termination);

    CURLcode rc = curl_easy_perform(handle);
    if (rc != CURLE_OK) {
        kLog(36, "getFileSize curl_easy_perform Failed url:%s LibcurlRetCode = %d ErrStr:%s", url, static_cast<int>(rc),
             curl_easy_strerror(rc));
        curl_easy_cleanup(handle);
        return -1;
    }

    long status = 0;
    rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (rc == CURLE_OK && responseCode != nullptr) *responseCode = static_cast<int32_t>(status);
    if (rc != CURLE_OK || (status != 200 && status != 206)) {
        kLog(43, "getFileSize curl_easy_getinfo Failed url:%s LibcurlRetCode = %d ErrStr:%s rsp_code:%ld", url,
             static_cast<int>(rc), curl_easy_strerror(rc), status);
        curl_easy_cleanup(handle);
        return -1;
    }

    double contentLength = 0.0;
    rc = curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &contentLength);
    curl_easy_cleanup(handle);
    if (rc != CURLE_OK) {
        kLog(51, "getFileSize curl_easy_getinfo Failed url:%s LibcurlRetCode = %d ErrStr:%s contentLen:%02f", url,
             static_cast<int>(rc), curl_easy_strerror(rc), contentLength);
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
    abortTransferOnStop(handle, &m_termination);
    return handle;
}

std::unique_ptr<PieceBuffer> makePieceBuffer(uint32_t size) {
    auto piece = std::unique_ptr<PieceBuffer>(new (std::nothrow) PieceBuffer);
    if (piece == nullptr || size <= kPieceSize) return piece;
    if (size > kMaxPieceSize) return nullptr;
    piece->large.reset(new (std::nothrow) char[size + 1]());
    if (piece->large == nullptr) return nullptr;
    piece->capacity = size;
    return piece;
}

int32_t HttpOperation::loadPiece(CURL* handle, int32_t pieceIndex, PieceBuffer* piece, uint32_t fileSize) {
    const uint32_t pieceSize = piece != nullptr ? piece->capacity : kPieceSize;
    const uint32_t start = static_cast<uint32_t>(pieceIndex) * pieceSize;
    const uint32_t end = start + (pieceSize - 1);
    char range[32];
    std::snprintf(range, sizeof(range), "%u-%u", start, end);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, piece);
    curl_easy_setopt(handle, CURLOPT_RANGE, range);  // libcurl keeps its own copy

    CURLcode rc = CURLE_OK;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const int32_t current = runState();
        if (current == kRunStatePaused) return kPiecePaused;
        if (current == kRunStateStopped || m_termination.stop_requested()) return kPieceStopped;
        if (piece != nullptr) piece->length = 0;
        rc = curl_easy_perform(handle);
        if (rc == CURLE_OK) {
            if (runState() != kRunStateRunning) return kPieceOk;
            long status = 0;
            rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
            if (rc != CURLE_OK) return static_cast<int32_t>(rc);
            if (status == 200) {
                // A plain 200 is the whole file from its first byte: right
                // only for the first piece of a file that fits in one piece.
                curl_off_t received = 0;
                if (curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &received) != CURLE_OK || pieceIndex != 0 ||
                    received > static_cast<curl_off_t>(pieceSize) || received != static_cast<curl_off_t>(fileSize)) {
                    return 200;
                }
                return kPieceOk;
            }
            if (status != 206) return static_cast<int32_t>(status);
            rc = checkPartialReply(handle, start, pieceSize, fileSize, piece);
            if (rc == CURLE_OK) return kPieceOk;
        }
        platform::sleepFor(m_retryPauseMs, m_termination);
    }
    return static_cast<int32_t>(rc);
}

size_t HttpOperation::onPieceData(char* chunk, size_t size, size_t count, void* target) {
    auto* piece = static_cast<PieceBuffer*>(target);
    if (piece == nullptr || chunk == nullptr) return 0;
    size_t n = size * count;
    if (piece->length + n > piece->capacity) n = piece->capacity - piece->length;
    if (n == 0) return count;
    std::memcpy(piece->bytes() + piece->length, chunk, n);
    piece->length += static_cast<uint32_t>(n);
    return count;
}
