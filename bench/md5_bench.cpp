// Digests files with getFileMd5 and prints them the way md5sum does, so that
// hyperfine can time both programs on the same file (see md5_bench.sh).
#include <cstdio>
#include <string>

#include "foundation/Md5.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        char out[33] = {};
        const int32_t rc = getFileMd5(platform::utf8ToWide(argv[i]).c_str(), out);
        if (rc != 0) {
            std::fprintf(stderr, "%s: code %d\n", argv[i], rc);
            status = 1;
            continue;
        }
        std::printf("%s  %s\n", out, argv[i]);
    }
    return status;
}
