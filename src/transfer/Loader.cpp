#include "transfer/Loader.h"

#include <curl/curl.h>

#include <cstring>
#include <new>
#include <string>

#include "crash/ThreadCrashHandler.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "platform/timer.h"

namespace {

constexpr const char* kTag = "Loader";
constexpr const wchar_t* kTagW = L"Loader";
constexpr uint32_t kProgressPeriodMs = 1000;
constexpr uint32_t kPausedPieceSleepMs = 1000;
constexpr uint32_t kWriterWaitMs = 500;
constexpr std::size_t kMaxTargetPathChars = 2047;
// blockCount is 16 bits wide.
constexpr uint32_t kMaxBlocks = 0xFFFF;

std::mutex g_instanceMutex;
Loader* g_instance = nullptr;

struct Geometry {
    uint16_t blockCount;
    uint32_t blockSize;
    uint32_t lastBlockSize;
};

// False when the file needs more blocks than the task can count.
bool geometryFor(uint32_t fileSize, Geometry& out) {
    out.blockSize = kPieceSize;
    uint32_t blocks = 1;
    if (fileSize > kPieceSize) {
        blocks = fileSize / kPieceSize + (fileSize % kPieceSize != 0 ? 1 : 0);
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
    if (task == nullptr || http == nullptr || task->url[0] == '\0') return 226;

    if (mode != 2) {
        const int32_t code = fillSizeFields();
        if (code != 0) return code;
    } else if (task->fileSize != 0) {
        // The caller's own geometry is used as given only when it is the one
        // the pieces are cut by; anything else would write past the blocks.
        Geometry g{};
        if (!geometryFor(task->fileSize, g) || g.blockCount != task->blockCount || g.blockSize != task->blockSize ||
            g.lastBlockSize != task->lastBlockSize) {
            return 226;
        }
    }

    try {
        blockState = std::make_unique<uint8_t[]>(task->blockCount);
    } catch (const std::bad_alloc&) {
        return 230;
    }

    CreateFolderPath(task->folder);
    std::wstring path = task->folder;
    path += task->fileName;
    platform::File file;
    bool opened = false;
    if (path.size() > kMaxTargetPathChars) {
        platform::setLastError(ENAMETOOLONG);
    } else {
        opened = file.open(path, platform::File::Access::ReadWrite, platform::File::Disposition::OpenAlways);
    }
    if (!opened) {
        const long error = static_cast<long>(platform::lastError());
        LogPrintW(L"[%s:%d]CreateFile Failed filePath=%s lastErrCode = %ld", kTagW, 85, path.c_str(), error);
        blockState.reset();
        return 228;
    }

    const int32_t result = transfer(file);
    file.close();
    blockState.reset();
    return result;
}

int32_t Loader::fillSizeFields() {
    int32_t responseCode = 0;
    const int32_t size = http->getFileSize(task->url, timeoutSeconds, &responseCode);
    task->fileSize = static_cast<uint32_t>(size);
    if (size == -1 || size == 0) return 227;
    Geometry g{};
    if (!geometryFor(task->fileSize, g)) return 227;
    task->blockCount = g.blockCount;
    task->blockSize = g.blockSize;
    task->lastBlockSize = g.lastBlockSize;
    return 0;
}

int32_t Loader::transfer(platform::File& file) {
    if (task->fileSize == 0) return 0;

    bytesWritten = 0;
    bytesDone.store(0);
    running.store(true);
    m_filePosition = 0;
    m_writerPiece.store(0);
    m_assemblyEnded.store(false);
    m_pieceFailed.store(false);
    m_pieceArrived.reset();
    m_writerMoved[0].reset();
    m_writerMoved[1].reset();
    pieceCount = static_cast<int32_t>(task->fileSize / kPieceSize + (task->fileSize % kPieceSize != 0 ? 1 : 0));
    piecesPerBlock = task->blockSize < kPieceSize ? 1 : static_cast<int32_t>(task->blockSize / kPieceSize);
    try {
        pieces = std::make_unique<PieceBuffer*[]>(static_cast<std::size_t>(pieceCount));
        pieceState = std::make_unique<std::atomic<uint8_t>[]>(static_cast<std::size_t>(pieceCount));
    } catch (const std::bad_alloc&) {
        pieces.reset();
        return 230;
    }
    for (int32_t i = 0; i < pieceCount; ++i) pieceState[i].store(0);

    const uint32_t timerId = platform::startPeriodicTimer(kProgressPeriodMs, [this](uint32_t) { onLoaderTimer(); });

    int32_t result = 0;
    platform::Thread compare;
    platform::Thread loaders[2];
    if (!compare.start("_threadCompare", [this, &file] { return threadCompare(&file); })) {
        // Nobody would take the pieces: the piece threads end at their first look.
        m_assemblyEnded.store(true);
        result = 230;
    }
    bool started[2] = {false, false};
    for (int i = 0; i < 2; ++i) started[i] = loaders[i].start("_threadLoader", [this, i] { return threadLoader(i); });
    for (auto& loader : loaders) loader.wait();

    for (int i = 0; i < 2; ++i) {
        if (!started[i]) {
            LogPrint("[%s:%d]_thread %d is NULL", kTag, 283, i);
            result = 230;
            continue;
        }
        uint32_t exitCode = 0;
        if (loaders[i].exitCode(exitCode)) {
            LogPrint("[%s:%d]_threadLoader:%d quit with exitCode %ld lastErrCode = %ld", kTag, 288, i,
                     static_cast<long>(static_cast<int32_t>(exitCode)), static_cast<long>(platform::lastError()));
            if (exitCode != 0) result = 230;
        }
        loaders[i].join();
    }

    // With both piece threads gone no piece can arrive any more; a writer
    // still waiting for one must give up instead of waiting for ever.
    running.store(false);
    m_pieceArrived.set();
    if (compare.started()) {
        compare.wait();
        uint32_t exitCode = 0;
        if (compare.exitCode(exitCode)) {
            LogPrint("[%s:%d]_threadCompare quit with exitCode %ld lastErrCode = %ld", kTag, 303,
                     static_cast<long>(static_cast<int32_t>(exitCode)), static_cast<long>(platform::lastError()));
            // Success means every block reached the file, nothing less.
            if (exitCode != 0) result = 230;
        }
        compare.join();
    }

    platform::stopTimer(timerId);
    file.truncate(m_filePosition);

    for (int32_t i = 0; i < pieceCount; ++i) delete pieces[i];
    pieces.reset();
    pieceState.reset();
    return result;
}

void Loader::onLoaderTimer() {
    if (progressCallback != nullptr) progressCallback(bytesDone.load(), task->fileSize, 0);
}

PieceBuffer* Loader::takeNextPiece(int threadNo, bool& leave, uint32_t& leaveCode) {
    for (;;) {
        if (m_assemblyEnded.load()) break;
        if (m_termination.stop_requested()) {
            leaveCode = 224;
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
            if (index < from + kMaxPiecesAhead) {
                auto* piece = new (std::nothrow) PieceBuffer;
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
        if (m_pieceFailed.load()) break;
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
        m_pieceFailed.store(true);
        m_writerMoved[1 - threadNo].set();
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
        const int32_t code = http->loadPiece(handle, index, piece);
        if (code == 229) {
            if (platform::sleepFor(kPausedPieceSleepMs, m_termination)) {
                while (state.load(std::memory_order_relaxed) == 1 &&
                       platform::sleepFor(kPausedPieceSleepMs, m_termination)) {
                }
            }
            giveBackPiece(piece);
            continue;
        }
        if (code == 0) {
            // The writer owns the buffer from this store on.
            pieceState[index].store(2, std::memory_order_release);
            bytesDone.fetch_add(kPieceSize);
            m_pieceArrived.set();
            continue;
        }
        result = code;
        m_pieceFailed.store(true);
        m_writerMoved[1 - threadNo].set();
        break;
    }
    curl_easy_cleanup(handle);
    return static_cast<uint32_t>(result);
}

uint32_t Loader::threadCompare(platform::File* file) {
    const ThreadCrashScope crashHandlers;
    int32_t answer = 1;
    // After a failed write the block's pieces are released already; the
    // transfer fails rather than write anything in their place.
    while (answer == 1) answer = assembleNextBlock(*file);
    m_assemblyEnded.store(true);
    m_writerMoved[0].set();
    m_writerMoved[1].set();
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
        if (state.load(std::memory_order_relaxed) == 2) return 224;
        if (!running.load()) return 230;
        if (m_termination.stop_requested()) return 224;
        // Woken by every arriving piece; the time-out keeps the stop and
        // failure checks going even if a wake-up were missed.
        m_pieceArrived.wait(kWriterWaitMs, m_termination);
    }
    PieceBuffer* piece = pieces[p];
    pieces[p] = nullptr;
    const bool lastBlock = block == task->blockCount - 1;
    const uint32_t length = lastBlock ? task->lastBlockSize : task->blockSize;
    const int32_t error = writePiece(file, piece->data, length, block);
    delete piece;
    if (error != 0) {
        LogPrint("[%s:%d]writePiece Failed blockID = %d ToWriteLen = %u LastErrCode = %d", kTag, 409, block, length,
                 error);
        return 23;
    }
    blockState[block] = 1;
    m_writerPiece.store(p + 1);
    m_writerMoved[0].set();
    m_writerMoved[1].set();
    return 1;
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
