// Builds ZIP archives byte by byte for tests: stored or deflated members,
// any "version made by" and external attributes (Unix modes), extra fields
// such as "UT" timestamps, any stored name (backslashes, "..", absolute),
// any declared size.
// Cut the result to make a truncated archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ZipEntry {
    std::string name;
    std::string data;
    uint16_t method = 8;            // 0 stored, 8 deflated; any other is written as stored bytes
    uint16_t versionMadeBy = 20;    // host 0 (MS-DOS); (3 << 8) | 30 for Unix
    uint32_t externalAttributes = 0x20;
    uint32_t dosDateTime = (((2020 - 1980) << 9 | 1 << 5 | 2) << 16) | (3 << 11 | 4 << 5 | 5 / 2);
    uint16_t flags = 0;
    std::string centralExtra;
    std::string localExtra;
    // The uncompressed size both headers declare, when it is not the data's
    // own (a member that inflates to more, or less, than it says).
    std::optional<uint32_t> declaredSize;
};

class ZipBuilder {
public:
    ZipBuilder& add(ZipEntry entry);
    // A plain member as a DOS-hosted writer stores it (no Unix bits).
    ZipBuilder& file(const std::string& name, const std::string& data, uint16_t method = 8);
    // A member with Unix mode bits (version made by 3), e.g. 0100755.
    ZipBuilder& unixFile(const std::string& name, const std::string& data, uint32_t mode, uint16_t method = 8);
    // A directory member (DOS directory bit and Unix 040755).
    ZipBuilder& folder(const std::string& name);

    std::string build() const;
    void writeTo(const std::filesystem::path& path) const;

    static uint32_t dosDateTime(int year, int month, int day, int hour, int minute, int second);
    // An extended timestamp block: tag "UT", flags, then the given times.
    static std::string utExtra(uint8_t flags, std::initializer_list<uint32_t> times);

private:
    std::vector<ZipEntry> m_entries;
};

}  // namespace testsupport
