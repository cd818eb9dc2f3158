// Downloads one URL into one file through the segmented downloader and prints
// its result code, for the benchmarks beside it.
//
//   gl_download [--piece-kb N] [--threads N] URL OUTPUT_FILE [TIMEOUT_SECONDS]
//
// --piece-kb and --threads set the piece size and the piece threads as
// DOWNLOAD_PIECE_KB and DOWNLOAD_THREADS do (32 and 2 without them).
//
// Prints "DownLoadFile result: <code>"; exits 0 when the code is 0, else 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/Log.h"
#include "transfer/HttpOperation.h"
#include "transfer/Loader.h"

namespace {

void onProgress(uint32_t done, uint32_t total, uint32_t) {
    if (std::getenv("GL_DOWNLOAD_PROGRESS") != nullptr) std::fprintf(stderr, "progress %u / %u\n", done, total);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t pieceKb = 32;
    int32_t threads = 2;
    const char* program = argv[0];
    while (argc >= 3 && (std::strcmp(argv[1], "--piece-kb") == 0 || std::strcmp(argv[1], "--threads") == 0)) {
        const long value = std::atol(argv[2]);
        if (argv[1][2] == 'p') {
            pieceKb = static_cast<uint32_t>(value);
        } else {
            threads = static_cast<int32_t>(value);
        }
        argv += 2;
        argc -= 2;
    }
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s [--piece-kb N] [--threads N] URL OUTPUT_FILE [TIMEOUT_SECONDS]\n", program);
        return 2;
    }
    const int32_t timeout = argc == 4 ? std::atoi(argv[3]) : 30;
    const std::filesystem::path output = std::filesystem::absolute(argv[2]);

    DownloadTask task;
    if (std::strlen(argv[1]) >= sizeof(task.url)) {
        std::fprintf(stderr, "URL longer than %zu bytes\n", sizeof(task.url) - 1);
        return 2;
    }
    std::snprintf(task.url, sizeof(task.url), "%s", argv[1]);
    const std::wstring folder = output.parent_path().wstring() + L"/";
    const std::wstring name = output.filename().wstring();
    if (folder.size() >= 1024 || name.size() >= 512) {
        std::fprintf(stderr, "output path too long\n");
        return 2;
    }
    std::wcsncpy(task.folder, folder.c_str(), 1023);
    std::wcsncpy(task.fileName, name.c_str(), 511);

    Loader* loader = Loader::instance(onProgress, nullptr, timeout);
    if (loader == nullptr) {
        std::fprintf(stderr, "cannot create the downloader\n");
        return 1;
    }
    loader->setPieces(pieceKb * 1024u, threads);
    if (loader->pieceSize() != pieceKb * 1024u || loader->pieceThreads() != threads) {
        std::fprintf(stderr, "piece size or threads out of range\n");
        return 2;
    }
    HttpOperation http;
    const int32_t result = loader->DownLoadFile(&task, &http, 0);
    delete loader;
    ReleaseLogger();
    std::printf("DownLoadFile result: %d\n", result);
    return result == 0 ? 0 : 1;
}
