// The two kinds of HTTP request the segmented downloader makes, over
// libcurl's easy interface: a HEAD size query, and ranged GETs that bring one
// 32,768-byte piece of a file into memory.
//
// Threads: getFileSize runs on the thread that calls the downloader;
// initPieceHandle, loadPiece and onPieceData run on the piece threads, each
// with an easy handle of its own that no other thread touches. The run state
// belongs to the downloader, which hands it in for the length of a download;
// this class only reads it, before every try.
//
// libcurl's global initialisation belongs to the downloader (Loader), which
// must exist while any of these run.
//
// TLS: no TLS option is set, so peer and host verification stay on and the
// trust store is the one of the libcurl build.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>

inline constexpr uint32_t kPieceSize = 32768;

// Results of loadPiece besides 0, libcurl codes and HTTP statuses.
inline constexpr int32_t kPieceOk = 0;
inline constexpr int32_t kPieceStopped = 224;
inline constexpr int32_t kPiecePaused = 229;

// Values of the downloader's run state (Loader::setState), which loadPiece
// reads.
inline constexpr int32_t kRunStateRunning = 0;
inline constexpr int32_t kRunStatePaused = 1;
inline constexpr int32_t kRunStateStopped = 2;

// Pieces a download may be set to (DOWNLOAD_PIECE_KB), in bytes.
inline constexpr uint32_t kMaxPieceSize = 4096u * 1024u;

// One piece received into memory. A new buffer is all zero; bytes beyond
// `length` keep what they held, and data[32768] stays zero so that the bytes
// can be read as a terminated text. A piece larger than 32,768 bytes
// (makePieceBuffer) is received into `large` instead, of `capacity` bytes
// and one zero byte more.
struct PieceBuffer {
    char data[kPieceSize + 1] = {};
    uint32_t length = 0;
    int32_t index = 0;
    uint32_t capacity = kPieceSize;
    std::unique_ptr<char[]> large;

    char* bytes() { return large ? large.get() : data; }
    const char* bytes() const { return large ? large.get() : data; }
};

// A zeroed piece of `size` bytes (kPieceSize .. kMaxPieceSize), or null
// without memory for it.
std::unique_ptr<PieceBuffer> makePieceBuffer(uint32_t size);

class HttpOperation {
public:
    HttpOperation() = default;
    HttpOperation(const HttpOperation&) = delete;
    HttpOperation& operator=(const HttpOperation&) = delete;

    // Size of the file at `url` from a HEAD request (status 200 or 206), or
    // -1: the request failed, the status was another one, or the server did
    // not announce a length (the last without a log line). The status that was
    // read, if any, is left in `*responseCode`. Blocks at most
    // `timeoutSeconds`; ends early on the termination request. Never retried.
    // A length beyond the int32 range is reported as -1.
    int32_t getFileSize(const char* url, int32_t timeoutSeconds, int32_t* responseCode);

    // An easy handle prepared for loadPiece, owned by the caller (release it
    // with curl_easy_cleanup), or null when libcurl cannot make one.
    CURL* initPieceHandle(const char* url, int32_t timeoutSeconds);

    // Fetches piece `pieceIndex` (bytes pieceIndex * C .. + C - 1, where C
    // is the piece's capacity, 32,768 unless made larger) of a file of
    // `fileSize` bytes into `piece`, in up to 3 tries with a pause of
    // 2,000 ms after each failed try. A try succeeds only when the reply holds
    // exactly the bytes asked for: a 206 whose Content-Range names the
    // requested range (cut at the file's end) and `fileSize` as the total,
    // with that many bytes in the body; or a 200 carrying a whole file of
    // `fileSize` bytes that fits in piece 0. A 206 that is short, names another
    // range or another total fails the try like a transfer error.
    // Returns
    //   0    the piece arrived, or it arrived and the run state became
    //        non-zero meanwhile;
    //   229  the run state was 1 (paused) before a try; 224 it was 2
    //        (stopped) or the termination request was raised;
    //   a libcurl code when all 3 tries failed (that of the last try;
    //   CURLE_PARTIAL_FILE or CURLE_RANGE_ERROR for a 206 with other bytes
    //   than asked for);
    //   the HTTP status when the server answered with one other than 200/206,
    //   or with 200 and anything but the whole file in one piece (a server that
    //   ignores Range would otherwise hand every piece the file's first bytes).
    // Blocks at most 3 * (timeoutSeconds + 2) seconds; the termination request
    // aborts a running transfer and ends the pause at once. Logs nothing.
    int32_t loadPiece(CURL* handle, int32_t pieceIndex, PieceBuffer* piece, uint32_t fileSize);

    // libcurl's write callback: copies into the piece, never past its
    // capacity. Reports every chunk as taken (bytes beyond a piece are dropped),
    // so a long reply does not fail the transfer; 0 (a write error) only for a
    // null piece or chunk.
    static size_t onPieceData(char* chunk, size_t size, size_t count, void* piece);

    // Hands in the owner's termination request. Set it before any request is
    // made; it cannot be changed while requests run. The downloader hands its
    // own token in here at the start of every download (Loader::
    // setTerminationToken), so the two never disagree.
    void setTerminationToken(std::stop_token token) { m_termination = std::move(token); }

    // Hands in the run state that loadPiece reads before every try: 0
    // running, 1 paused, 2 stopped (kRunState*). Whoever hands it in writes
    // it; nothing here does. The downloader hands in its own at the start of
    // every download and takes it back (null) before DownLoadFile returns, so
    // `shared` must stay valid only until it is replaced. Null reads as 0.
    // Set it while no loadPiece runs.
    void setRunState(const std::atomic<int32_t>* shared) { state = shared; }

    // Tests only: the pause after a failed try (2,000 ms by default).
    void setRetryPauseForTesting(uint32_t milliseconds) { m_retryPauseMs = milliseconds; }

private:
    int32_t runState() const { return state != nullptr ? state->load(std::memory_order_relaxed) : kRunStateRunning; }

    const std::atomic<int32_t>* state = nullptr;  // borrowed, see setRunState
    std::stop_token m_termination;
    uint32_t m_retryPauseMs = 2000;
};
