// The crash sender's readers of a report folder over arbitrary bytes: the
// description (crash.txt) and the copied memory map. A crashing process
// wrote them, so anything may be there. Whatever the bytes, every list stays
// within its bound, every attached file name is one plain name inside the
// folder, and every mapping read names an absolute path.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "CrashDescription.h"
#include "MapsFile.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    crashsender::CrashDescription d;
    const bool known = crashsender::parseCrashDescription(text, d);
    check(known == d.formatKnown);
    check(d.frames.size() <= crashsender::kMaxCodeAddresses);
    check(d.scan.size() <= crashsender::kMaxCodeAddresses);
    check(d.registers.size() <= crashsender::kMaxRegisters);
    check(d.tasks.size() <= crashsender::kMaxTasks);
    check(d.files.size() <= crashsender::kMaxFiles);
    for (const auto& f : d.files) {
        check(crashsender::isPlainFileName(f.name));
        check(f.copiedBytes >= -1 && f.sizeAtCrash >= -1);
        check(f.description.size() <= crashsender::kMaxFieldBytes);
    }
    for (const auto& a : d.frames) check(!a.module.empty() && a.module.size() <= crashsender::kMaxFieldBytes);
    check(d.buildId.size() % 2 == 0 && d.buildId.size() <= 128);
    for (char c : d.buildId) check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));

    const auto maps = crashsender::parseMaps(text);
    check(maps.size() <= crashsender::kMaxMapsLines);
    for (const auto& m : maps) check(!m.path.empty() && m.path.front() == '/');
    return 0;
}
