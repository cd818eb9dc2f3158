// Extracts one archive with UnZipFile, so that hyperfine can time it against
// `unzip -o -q` on the same package (see unzip_bench.sh).
#include <cstdio>

#include "foundation/ZipUtil.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE DESTINATION\n", argv[0]);
        return 2;
    }
    const int32_t rc = getZipUtil()->UnZipFile(platform::utf8ToWide(argv[1]).c_str(),
                                               platform::utf8ToWide(argv[2]).c_str());
    if (rc != 0) {
        std::fprintf(stderr, "UnZipFile: code %d\n", rc);
        return 1;
    }
    return 0;
}
