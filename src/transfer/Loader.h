// The segmented downloader: fetches one file over HTTP in pieces of 32,768
// bytes on two piece threads (more and larger when the owner sets them),
// while an assembling thread writes the pieces in file order, and reports
// progress once a second through a timer.
//
// Threads: DownLoadFile runs on the owner's thread and returns only after
// every thread it started has ended (all joined). setState may be called from
// any thread at any time; setTerminationToken while no download runs. The
// progress callback runs on the process-wide timer thread, concurrently with
// everything else.
//
// Memory: the pieces fetched ahead of the writer hold at most
// kMaxBytesAhead, or one piece per piece thread when the pieces are larger,
// so a download needs the same few megabytes whatever the file's size
// (32 MiB at the largest setting).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

#include "foundation/SystemUtil.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "transfer/HttpOperation.h"

// Results of DownLoadFile.
inline constexpr int32_t kDownloadOk = 0;
inline constexpr int32_t kDownloadBadTask = 226;
inline constexpr int32_t kDownloadSizeQueryFailed = 227;
inline constexpr int32_t kDownloadOpenFailed = 228;
inline constexpr int32_t kDownloadFailed = 230;

// Exit codes of the assembling thread besides 0 (every block written) and
// 230 (no piece can arrive any more).
inline constexpr int32_t kAssemblyStopped = 224;
inline constexpr int32_t kAssemblyBlockWritten = 1;
inline constexpr int32_t kAssemblyWriteFailed = 23;

// Why a download ended, decided once by whoever sees it first: the owner's
// stop (state 2 or the termination request), a piece that failed for good, a
// block that could not be written, or the end of the file.
enum class StopReason : int32_t { None, Stopped, PieceFailed, WriteFailed, Complete };

// Called with the bytes fetched so far (a piece's size per piece, so the last report
// may exceed the total by less than a piece), the file's size and 0.
using ProgressCallback = void (*)(uint32_t bytesDone, uint32_t bytesTotal, uint32_t userValue);

// One download. The caller fills url, folder (ending with a separator: the
// file name is appended directly) and fileName; DownLoadFile fills the rest
// unless the caller passes mode 2 with all four size fields filled.
struct DownloadTask {
    uint32_t fileSize = 0;
    uint16_t blockCount = 0;
    uint32_t blockSize = 0;      // the piece size (32768), or fileSize when that is smaller
    uint32_t lastBlockSize = 0;  // a full block when fileSize is a multiple of blockSize
    char url[1024] = {};
    wchar_t folder[kPathBufferChars] = {};
    wchar_t fileName[512] = {};
    // The whole file's MD5 as announced with the url. When it is given, the
    // download keeps a record beside its file (transfer/ResumeRecord.h) and
    // continues a download of the same url, MD5 and size that an earlier
    // call left unfinished; empty: every download starts at the first byte.
    char md5[64] = {};
};

class Loader {
public:
    // Bytes of pieces fetched ahead of the writer, at most (64 pieces of
    // the default size), unless each piece thread's one piece is more.
    static constexpr uint32_t kMaxBytesAhead = 64 * kPieceSize;
    static constexpr int32_t kMaxPieceThreads = 8;
    // The resume record is rewritten each time this many more bytes are
    // written: a kill loses at most this much, and a large file costs a
    // few renames per hundred megabytes.
    static constexpr uint32_t kResumeRecordStep = 1048576;

    // The process-wide downloader, created by the first call (which runs
    // curl_global_init); later calls return it unchanged. `owner` is not used.
    // Null only when it cannot be created.
    static Loader* instance(ProgressCallback progressCallback, void* owner, int32_t timeoutSeconds);

    // Runs curl_global_cleanup; the next instance() creates a new downloader.
    ~Loader();
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    // Downloads task->url to folder + fileName. The file is opened without
    // being emptied, written from its start and cut after the last block that
    // was written in order. With task->md5 given, a record beside the file
    // says which blocks are written: a record of the same url, MD5 and size,
    // over a file at least as long as it claims, lets the download start
    // after those blocks; any other record goes, with the file's content.
    // The record is rewritten about every kResumeRecordStep bytes and when
    // the transfer ends unfinished, and removed once every block is written.
    // Returns
    //   0    every block was written (or a mode 2 task of size 0: nothing done);
    //   226  no task, no HTTP object, an empty url, or mode 2 size fields that
    //        do not describe a file;
    //   227  the size query failed, gave 0 or a size beyond 65,535 blocks;
    //   228  the file could not be opened or created;
    //   230  anything else went wrong: a piece failed (all tries, a wrong
    //        status, no easy handle), a write failed, a thread could not be
    //        started, the stop state or the termination request ended it.
    // Blocks for the whole transfer; the termination request ends it within
    // about a second (a transfer that is receiving nothing notices it at
    // libcurl's next progress call). `http` is borrowed; for the length of the
    // call it carries this downloader's termination token and reads its run
    // state (HttpOperation::setRunState), and it is handed the state back as
    // null before the call returns.
    int32_t DownLoadFile(DownloadTask* task, HttpOperation* http, int8_t mode);

    // The piece size in bytes (kPieceSize .. kMaxPieceSize) and the number
    // of piece threads (1 .. kMaxPieceThreads) of the next downloads; a value
    // outside its range leaves that one as it was (32,768 and 2 at first).
    // Call it while no download runs.
    void setPieces(uint32_t pieceSize, int32_t threads);
    uint32_t pieceSize() const { return m_pieceSize; }
    int32_t pieceThreads() const { return m_threadCount; }

    // The one run state of a download (kRunState*), kept across downloads;
    // the piece threads read it through the HTTP object before every try.
    // 0 running; 1 paused: every piece thread gets 229 at its next try, hands
    // its piece back and waits while this is 1, then fetches on; 2 stopped:
    // the piece threads end with 224 at their next try and the writer gives up
    // at its next wait, so the download returns 230.
    void setState(int8_t newState) { state.store(newState, std::memory_order_relaxed); }

    // The owner's termination request: ends every wait of the download at
    // once. Set it while no download runs; DownLoadFile hands the same token
    // to the HttpOperation it is given, so one call cancels both.
    void setTerminationToken(std::stop_token token) { m_termination = std::move(token); }

    // Why the last download ended (None while none has ended).
    StopReason stopReason() const { return static_cast<StopReason>(m_stopReason.load()); }

    // Tests only: `writerSawPieceMissing` runs on the assembling thread each
    // time it has found the piece it needs missing, before it looks whether
    // piece threads still run; `pieceThreadsEnded` runs on the calling thread
    // right after it has recorded that no piece thread runs any more;
    // `pieceAnswered` runs on piece thread `threadNo` with every result
    // loadPiece gave it, before the thread acts on it.
    struct TestHooks {
        std::function<void(int32_t piece)> writerSawPieceMissing;
        std::function<void()> pieceThreadsEnded;
        std::function<void(int threadNo, int32_t code)> pieceAnswered;
    };
    void setHooksForTesting(TestHooks hooks) { m_hooks = std::move(hooks); }

private:
    Loader(ProgressCallback callback, int32_t timeout);

    struct TransferThreads;

    int32_t fillSizeFields();
    // The transfer on the open file, in its steps: set up the pieces, start
    // the writer and the piece threads, join the piece threads, then the
    // writer, and release the pieces. Each step that can fail answers false;
    // any false makes the transfer 230.
    int32_t transfer(platform::File& file);
    bool preparePieces();
    bool startThreads(TransferThreads& threads, platform::File& file);
    bool joinPieceThreads(TransferThreads& threads);
    bool joinAssembly(TransferThreads& threads);
    void releasePieces();
    uint32_t threadLoader(int threadNo);
    uint32_t threadCompare(platform::File* file);
    PieceBuffer* takeNextPiece(int threadNo, bool& leave, uint32_t& leaveCode);
    void giveBackPiece(PieceBuffer* piece);
    int32_t assembleNextBlock(platform::File& file);
    int32_t writePiece(platform::File& file, const char* buffer, uint32_t length, int32_t blockIndex);
    void onLoaderTimer();
    int32_t piecesAhead() const;
    void wakeOtherPieceThreads(int threadNo);
    // Reads the record beside `path` and decides where the transfer starts:
    // m_resume.fromBlock, or 0 with the record and the file's content gone.
    void decideResume(const std::wstring& path, platform::File& file);
    void applyResume();
    // Writer only: the record claims what is written now.
    void recordWritten();
    // Records `reason` unless one is recorded already; true when it was.
    bool raiseStop(StopReason reason);
    // The writer has ended: no piece thread need fetch for it any more.
    bool writerEnded() const;

    ProgressCallback progressCallback = nullptr;
    std::atomic<uint32_t> bytesDone{0};
    std::unique_ptr<std::atomic<uint8_t>[]> pieceState;  // 0 free, 1 fetching, 2 fetched
    std::unique_ptr<uint8_t[]> blockState;               // writer only: 1 written
    uint32_t bytesWritten = 0;                           // writer only
    DownloadTask* task = nullptr;
    std::atomic<int32_t> state{kRunStateRunning};  // lent to `http` during DownLoadFile
    int32_t timeoutSeconds = 0;
    int8_t mode = 0;
    std::atomic<bool> running{false};  // a piece thread may still deliver a piece
    HttpOperation* http = nullptr;
    std::mutex pieceLock;
    int32_t pieceCount = 0;
    int32_t piecesPerBlock = 0;
    std::unique_ptr<PieceBuffer*[]> pieces;

    std::stop_token m_termination;
    uint64_t m_filePosition = 0;                 // writer only until it is joined
    std::atomic<int32_t> m_writerPiece{0};       // first piece the writer still needs
    std::atomic<int32_t> m_stopReason{0};        // a StopReason; the first one raised stays
    TestHooks m_hooks;
    struct Resume {
        bool active = false;  // the task has an MD5: a record is kept
        std::wstring recordPath;
        int32_t fromBlock = 0;  // blocks already in the file at the start
        uint32_t recorded = 0;  // bytes the record claims (writer only)
    } m_resume;
    platform::AutoResetEvent m_pieceArrived{"pieceArrived"};
    platform::AutoResetEvent m_writerMoved[kMaxPieceThreads];
    uint32_t m_pieceSize = kPieceSize;
    int32_t m_threadCount = 2;
};
