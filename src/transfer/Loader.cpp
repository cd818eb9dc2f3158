#include "transfer/Loader.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "crash/ThreadCrashHandler.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "platform/timer.h"
#include "transfer/ResumeRecord.h"

namespace {

constexpr ModuleLog kLog{"Loader", L"Loader"};
constexpr uint32_t kProgressPeriodMs = 1000;
constexpr uint32_t kPausedPieceSleepMs = 1000;
constexpr uint32_t kWriterWaitMs = 500;
// The task's folder (1024 characters) and file name (512) are joined in a
// buffer of their own, which takes longer paths than kPathBufferChars.
constexpr std::size_t kTargetPathBufferChars = 2048;
// blockCount is 16 bits wide.
constexpr uint32_t kMaxBlocks = 0xFFFF;

std::mutex g_instanceMutex;
Loader* g_instance = nullptr;

// Takes the run state back from the HTTP object when a download ends, so that
// it never points at a downloader that is gone.
struct RunStateLoan {
    HttpOperation* http;
    ~RunStateLoan() { http->setRunState(nullptr); }
};

struct Geometry {
    uint16_t blockCount;
    uint32_t blockSize;
    uint32_t lastBlockSize;
};

// False when the file needs more blocks than the task can count.
bool geometryFor(uint32_t fileSize, uint32_t pieceSize, Geometry& out) {
    out.blockSize = pieceSize;
    uint32_t blocks = 1;
    if (fileSize > pieceSize) {
        blocks = fileSize / pieceSize + (fileSize % pieceSize != 0 ? 1 : 0);
    } else {
        out.blockSize = fileSize;
    }
    if (blocks > kMaxBlocks) return false;
    out.blockCount = static_cast<uint16_t>(blocks);
    out.lastBlockSize = fileSize - (blocks - 1) * out.blockSize;
    return true;
}

}  // namespace

Loader* Loader::instance(ProgressCallback progressCallback, void* /*owner*/, int32_t timeoutSeconds) {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_instance == nullptr) g_instance = new (std::nothrow) Loader(progressCallback, timeoutSeconds);
    return g_instance;
}

Loader::Loader(ProgressCallback callback, int32_t timeout) : progressCallback(callback), timeoutSeconds(timeout) {
    curl_global_init(CURL_GLOBAL_ALL);
}

Loader::~Loader() {
    curl_global_cleanup();
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_instance == this) g_instance = nullptr;
}

int32_t Loader::DownLoadFile(DownloadTask* newTask, HttpOperation* newHttp, int8_t newMode) {
    mode = newMode;
    task = newTask;
    http = newHttp;
    if (task == nullptr || http == nullptr || task->url[0] == '\0') return kDownloadBadTask;
    http->setTerminationToken(m_termination);
    // The pieces read this downloader's run state through the HTTP object,
    // and only while this call runs: it is taken back on every way out.
    http->setRunState(&state);
    const RunStateLoan loan{http};

    if (mode != 2) {
        const int32_t code = fillSizeFields();
        if (code != 0) return code;
    } else if (task->fileSize != 0) {
        // The caller's own geometry is used as given only when it is the one
        // the pieces are cut by; anything else would write past the blocks.
        Geometry g{};
        if (!geometryFor(task->fileSize, m_pieceSize, g) || g.blockCount != task->blockCount ||
            g.blockSize != task->blockSize || g.lastBlockSize != task->lastBlockSize) {
            return kDownloadBadTask;
        }
    }

    try {
        blockState = std::make_unique<uint8_t[]>(task->blockCount);
    } catch (const std::bad_alloc&) {
        return kDownloadFailed;
    }

    CreateFolderPath(task->folder);
    std::wstring path = task->folder;
    path += task->fileName;
    platform::File file;
    bool opened = false;
    if (path.size() >= kTargetPathBufferChars) {
        platform::setLastError(ENAMETOOLONG);
    } else {
        opened = file.open(path, platform::File::Access::ReadWrite, platform::File::Disposition::OpenAlways);
    }
    if (!opened) {
        const long error = static_cast<long>(platform::lastError());
        kLog.wide(85, L"CreateFile Failed filePath=%s lastErrCode = %ld", path.c_str(), error);
        blockState.reset();
        return kDownloadOpenFailed;
    }

    m_resume = Resume{};
    if (task->md5[0] != '\0' && task->fileSize != 0) decideResume(path, file);
    const int32_t result = transfer(file);
    file.close();
    blockState.reset();
    return result;
}

int32_t Loader::fillSizeFields() {
    int32_t responseCode = 0;
    const int32_t size = http->getFileSize(task->url, timeoutSeconds, &responseCode);
    task->fileSize = static_cast<uint32_t>(size);
    if (size == -1 || size == 0) return kDownloadSizeQueryFailed;
    Geometry g{};
    if (!geometryFor(task->fileSize, m_pieceSize, g)) return kDownloadSizeQueryFailed;
    task->blockCount = g.blockCount;
    task->blockSize = g.blockSize;
    task->lastBlockSize = g.lastBlockSize;
    return kDownloadOk;
}

// The threads of one transfer, started and joined by transfer() itself.
struct Loader::TransferThreads {
    platform::Thread compare;
    platform::Thread loaders[Loader::kMaxPieceThreads];
    bool loaderStarted[Loader::kMaxPieceThreads] = {};
};

int32_t Loader::transfer(platform::File& file) {
    if (task->fileSize == 0) return kDownloadOk;
    if (!preparePieces()) return kDownloadFailed;
    const uint32_t timerId = platform::startPeriodicTimer(kProgressPeriodMs, [this](uint32_t) { onLoaderTimer(); });

    applyResume();
    TransferThreads threads;
    bool ok = startThreads(threads, file);
    ok = joinPieceThreads(threads) && ok;
    ok = joinAssembly(threads) && ok;

    platform::stopTimer(timerId);
    if (m_resume.active) {
        // Written before the file is cut: the record never claims more than
        // the file holds.
        if (bytesWritten == task->fileSize) {
            removeResumeRecord(m_resume.recordPath);
        } else if (bytesWritten > m_resume.recorded) {
            recordWritten();
        }
    }
    file.truncate(m_filePosition);
    releasePieces();
    return ok ? kDownloadOk : kDownloadFailed;
}

bool Loader::preparePieces() {
    bytesWritten = 0;
    bytesDone.store(0);
    running.store(true);
    m_filePosition = 0;
    m_writerPiece.store(0);
    m_stopReason.store(static_cast<int32_t>(StopReason::None));
    m_pieceArrived.reset();
    for (auto& moved : m_writerMoved) moved.reset();
    pieceCount = static_cast<int32_t>(task->fileSize / m_pieceSize + (task->fileSize % m_pieceSize != 0 ? 1 : 0));
    piecesPerBlock = task->blockSize < m_pieceSize ? 1 : static_cast<int32_t>(task->blockSize / m_pieceSize);
    try {
        pieces = std::make_unique<PieceBuffer*[]>(static_cast<std::size_t>(pieceCount));
        pieceState = std::make_unique<std::atomic<uint8_t>[]>(static_cast<std::size_t>(pieceCount));
    } catch (const std::bad_alloc&) {
        pieces.reset();
        return false;
    }
    for (int32_t i = 0; i < pieceCount; ++i) pieceState[i].store(0);
    return true;
}

bool Loader::startThreads(TransferThreads& threads, platform::File& file) {
    bool ok = true;
    if (!threads.compare.start("_threadCompare", [this, &file] { return threadCompare(&file); })) {
        // Nobody would take the pieces: the piece threads end at their first
        // look, as after a write that failed.
        raiseStop(StopReason::WriteFailed);
        ok = false;
    }
    for (int i = 0; i < m_threadCount; ++i) {
        threads.loaderStarted[i] = threads.loaders[i].start("_threadLoader", [this, i] { return threadLoader(i); });
    }
    return ok;
}

bool Loader::joinPieceThreads(TransferThreads& threads) {
    for (auto& loader : threads.loaders) loader.wait();

    bool ok = true;
    for (int i = 0; i < m_threadCount; ++i) {
        if (!threads.loaderStarted[i]) {
            kLog(283, "_thread %d is NULL", i);
            ok = false;
            continue;
        }
        uint32_t exitCode = 0;
        if (threads.loaders[i].exitCode(exitCode)) {
            kLog(288, "_threadLoader:%d quit with exitCode %ld lastErrCode = %ld", i,
                 static_cast<long>(static_cast<int32_t>(exitCode)), static_cast<long>(platform::lastError()));
            if (exitCode != 0) ok = false;
        }
        threads.loaders[i].join();
    }
    return ok;
}

bool Loader::joinAssembly(TransferThreads& threads) {
    // With both piece threads gone no piece can arrive any more; a writer
    // still waiting for one must give up instead of waiting for ever.
    running.store(false);
    m_pieceArrived.set();
    if (m_hooks.pieceThreadsEnded) m_hooks.pieceThreadsEnded();
    if (!threads.compare.started()) return true;

    threads.compare.wait();
    bool ok = true;
    uint32_t exitCode = 0;
    if (threads.compare.exitCode(exitCode)) {
        kLog(303, "_threadCompare quit with exitCode %ld lastErrCode = %ld",
             static_cast<long>(static_cast<int32_t>(exitCode)), static_cast<long>(platform::lastError()));
        // Success means every block reached the file, nothing less.
        if (exitCode != 0) ok = false;
    }
    threads.compare.join();
    return ok;
}

void Loader::releasePieces() {
    for (int32_t i = 0; i < pieceCount; ++i) delete pieces[i];
    pieces.reset();
    pieceState.reset();
}

void Loader::onLoaderTimer() {
    if (progressCallback != nullptr) progressCallback(bytesDone.load(), task->fileSize, 0);
}

PieceBuffer* Loader::takeNextPiece(int threadNo, bool& leave, uint32_t& leaveCode) {
    for (;;) {
        if (writerEnded()) break;
        if (m_termination.stop_requested()) {
            leaveCode = kPieceStopped;
            raiseStop(StopReason::Stopped);
            break;
        }
        {
            std::lock_guard<std::mutex> lock(pieceLock);
            // Every piece before the writer's position is fetched already.
            const int32_t from = m_writerPiece.load();
            int32_t index = -1;
            for (int32_t i = from; i < pieceCount; ++i) {
                if (pieceState[i].load(std::memory_order_relaxed) == 0) {
                    index = i;
                    break;
                }
            }
            if (index < 0) break;
            if (index < from + piecesAhead()) {
                PieceBuffer* piece = makePieceBuffer(m_pieceSize).release();
                if (piece == nullptr) {
                    leaveCode = ENOMEM;
                    break;
                }
                piece->index = index;
                pieceState[index].store(1, std::memory_order_relaxed);
                pieces[index] = piece;
                return piece;
            }
        }
        // A failed piece stops the writer for good: fetching further ahead
        // would only fill memory.
        if (stopReason() == StopReason::PieceFailed) break;
        m_writerMoved[threadNo].wait(platform::kInfinite, m_termination);
    }
    leave = true;
    return nullptr;
}

void Loader::giveBackPiece(PieceBuffer* piece) {
    std::lock_guard<std::mutex> lock(pieceLock);
    const int32_t index = piece->index;
    pieces[index] = nullptr;
    delete piece;
    pieceState[index].store(0, std::memory_order_relaxed);
}

uint32_t Loader::threadLoader(int threadNo) {
    const ThreadCrashScope crashHandlers;
    CURL* handle = http->initPieceHandle(task->url, timeoutSeconds);
    if (handle == nullptr) {
        raiseStop(StopReason::PieceFailed);
        wakeOtherPieceThreads(threadNo);
        return 1;
    }
    int32_t result = 0;
    for (;;) {
        bool leave = false;
        uint32_t leaveCode = 0;
        PieceBuffer* piece = takeNextPiece(threadNo, leave, leaveCode);
        if (piece == nullptr) {
            result = static_cast<int32_t>(leaveCode);
            break;
        }
        const int32_t index = piece->index;
        const int32_t code = http->loadPiece(handle, index, piece, task->fileSize);
        if (m_hooks.pieceAnswered) m_hooks.pieceAnswered(threadNo, code);
        if (code == kPiecePaused) {
            if (platform::sleepFor(kPausedPieceSleepMs, m_termination)) {
                while (state.load(std::memory_order_relaxed) == kRunStatePaused &&
                       platform::sleepFor(kPausedPieceSleepMs, m_termination)) {
                }
            }
            giveBackPiece(piece);
            continue;
        }
        if (code == kPieceOk) {
            // The writer owns the buffer from this store on.
            pieceState[index].store(2, std::memory_order_release);
            bytesDone.fetch_add(m_pieceSize);
            m_pieceArrived.set();
            continue;
        }
        result = code;
        raiseStop(code == kPieceStopped ? StopReason::Stopped : StopReason::PieceFailed);
        wakeOtherPieceThreads(threadNo);
        break;
    }
    curl_easy_cleanup(handle);
    return static_cast<uint32_t>(result);
}

uint32_t Loader::threadCompare(platform::File* file) {
    const ThreadCrashScope crashHandlers;
    int32_t answer = kAssemblyBlockWritten;
    // After a failed write the block's pieces are released already; the
    // transfer fails rather than write anything in their place.
    while (answer == kAssemblyBlockWritten) answer = assembleNextBlock(*file);
    switch (answer) {
        case 0:
            raiseStop(StopReason::Complete);
            break;
        case kAssemblyStopped:
            raiseStop(StopReason::Stopped);
            break;
        case kAssemblyWriteFailed:
            raiseStop(StopReason::WriteFailed);
            break;
        default:
            break;  // no piece could arrive any more: a piece thread said why
    }
    for (auto& moved : m_writerMoved) moved.set();
    return static_cast<uint32_t>(answer);
}

int32_t Loader::assembleNextBlock(platform::File& file) {
    int32_t block = -1;
    for (int32_t b = m_writerPiece.load(); b < task->blockCount; ++b) {
        if (blockState[b] == 0) {
            block = b;
            break;
        }
    }
    if (block < 0) return 0;

    // A block is never larger than a piece, so it is exactly piece `block`
    // and goes to the file straight from the piece's buffer.
    const int32_t p = block;
    while (pieceState[p].load(std::memory_order_acquire) != 2) {
        if (state.load(std::memory_order_relaxed) == kRunStateStopped) return kAssemblyStopped;
        if (m_hooks.writerSawPieceMissing) m_hooks.writerSawPieceMissing(p);
        if (!running.load()) {
            // The piece threads may have delivered this piece and ended
            // between the two loads above; only a piece still missing now is
            // lost for good.
            if (pieceState[p].load(std::memory_order_acquire) == 2) break;
            return kDownloadFailed;
        }
        if (m_termination.stop_requested()) return kAssemblyStopped;
        // Woken by every arriving piece; the time-out keeps the stop and
        // failure checks going even if a wake-up were missed.
        m_pieceArrived.wait(kWriterWaitMs, m_termination);
    }
    PieceBuffer* piece = pieces[p];
    pieces[p] = nullptr;
    const bool lastBlock = block == task->blockCount - 1;
    const uint32_t length = lastBlock ? task->lastBlockSize : task->blockSize;
    const int32_t error = writePiece(file, piece->bytes(), length, block);
    delete piece;
    if (error != 0) {
        kLog(409, "writePiece Failed blockID = %d ToWriteLen = %u LastErrCode = %d", block, length, error);
        return kAssemblyWriteFailed;
    }
    blockState[block] = 1;
    if (m_resume.active && bytesWritten < task->fileSize &&
        (m_resume.recorded == 0 || bytesWritten - m_resume.recorded >= kResumeRecordStep)) {
        recordWritten();
    }
    m_writerPiece.store(p + 1);
    for (auto& moved : m_writerMoved) moved.set();
    return kAssemblyBlockWritten;
}

void Loader::decideResume(const std::wstring& path, platform::File& file) {
    m_resume.active = true;
    m_resume.recordPath = resumeRecordPath(path);
    if (!hasResumeRecord(path)) return;
    ResumeRecord record;
    uint64_t fileBytes = 0;
    // The bytes claimed passed the checks of their pieces when they were
    // written; they continue under any piece size that divides them.
    const bool fits = readResumeRecord(m_resume.recordPath, record) && record.url == task->url &&
                      record.md5 == task->md5 && record.fileSize == task->fileSize && record.written > 0 &&
                      record.written < task->fileSize && record.written % task->blockSize == 0 &&
                      file.size(fileBytes) && fileBytes >= record.written;
    if (fits) {
        m_resume.fromBlock = static_cast<int32_t>(record.written / task->blockSize);
        m_resume.recorded = record.written;
        kLog.wide(92, L"Resume filePath=%s fromByte = %u", path.c_str(), record.written);
        return;
    }
    // Whatever the file holds belongs to another download, or to none that
    // can be told: nothing of it may end up in this one.
    kLog.wide(97, L"Resume record discarded filePath=%s", path.c_str());
    removeResumeRecord(m_resume.recordPath);
    file.truncate(0);
}

void Loader::applyResume() {
    const int32_t from = m_resume.fromBlock;
    if (from <= 0) return;
    // The blocks in the file passed every check of their piece when they
    // were written; they count as arrived and written.
    for (int32_t b = 0; b < from; ++b) {
        blockState[b] = 1;
        pieceState[b].store(2, std::memory_order_relaxed);
    }
    bytesWritten = static_cast<uint32_t>(from) * task->blockSize;
    m_filePosition = bytesWritten;
    bytesDone.store(static_cast<uint32_t>(from) * m_pieceSize);
    m_writerPiece.store(from);
}

void Loader::recordWritten() {
    const ResumeRecord record{task->url, task->md5, task->fileSize, m_pieceSize, bytesWritten};
    // A record that cannot be written leaves the older one, which claims
    // less: the next run fetches a little more, nothing worse.
    if (writeResumeRecord(m_resume.recordPath, record)) m_resume.recorded = bytesWritten;
}

void Loader::setPieces(uint32_t pieceSize, int32_t threads) {
    if (pieceSize >= kPieceSize && pieceSize <= kMaxPieceSize) m_pieceSize = pieceSize;
    if (threads >= 1 && threads <= kMaxPieceThreads) m_threadCount = threads;
}

int32_t Loader::piecesAhead() const {
    const int32_t byBytes = static_cast<int32_t>(kMaxBytesAhead / m_pieceSize);
    return byBytes > m_threadCount ? byBytes : m_threadCount;
}

void Loader::wakeOtherPieceThreads(int threadNo) {
    for (int i = 0; i < m_threadCount; ++i) {
        if (i != threadNo) m_writerMoved[i].set();
    }
}

bool Loader::raiseStop(StopReason reason) {
    int32_t current = static_cast<int32_t>(StopReason::None);
    if (m_stopReason.compare_exchange_strong(current, static_cast<int32_t>(reason))) return true;
    // A failed piece leaves the writer waiting for it; the writer's own end
    // (stopped, failed write) says better why the download ended and tells
    // the other piece thread to stop fetching ahead.
    const bool writerReason = reason == StopReason::Stopped || reason == StopReason::WriteFailed;
    return writerReason && current == static_cast<int32_t>(StopReason::PieceFailed) &&
           m_stopReason.compare_exchange_strong(current, static_cast<int32_t>(reason));
}

bool Loader::writerEnded() const {
    const StopReason reason = stopReason();
    return reason == StopReason::Stopped || reason == StopReason::WriteFailed || reason == StopReason::Complete;
}

int32_t Loader::writePiece(platform::File& file, const char* buffer, uint32_t length, int32_t blockIndex) {
    const uint64_t offset = static_cast<uint64_t>(blockIndex) * task->blockSize;
    if (!file.seek(offset)) {
        const int32_t error = static_cast<int32_t>(platform::lastError());
        return error != 0 ? error : EIO;
    }
    if (bytesWritten + length > task->fileSize) length = task->fileSize - bytesWritten;
    std::size_t written = 0;
    if (!file.write(buffer, length, &written)) {
        const int32_t error = static_cast<int32_t>(platform::lastError());
        return error != 0 ? error : EIO;
    }
    bytesWritten += static_cast<uint32_t>(written);
    // The file is cut here at the end: only whole blocks written in order stay.
    m_filePosition = offset + written;
    return 0;
}
