#include "support/ZipBuilder.h"

#include <zlib.h>

#include <fstream>
#include <stdexcept>

namespace testsupport {

namespace {

void put16(std::string& s, uint32_t v) {
    s.push_back(static_cast<char>(v & 0xff));
    s.push_back(static_cast<char>((v >> 8) & 0xff));
}

void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xffff);
    put16(s, v >> 16);
}

std::string rawDeflate(const std::string& in) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    return out;
}

}  // namespace

ZipBuilder& ZipBuilder::add(ZipEntry entry) {
    m_entries.push_back(std::move(entry));
    return *this;
}

ZipBuilder& ZipBuilder::file(const std::string& name, const std::string& data, uint16_t method) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    e.method = method;
    return add(std::move(e));
}

ZipBuilder& ZipBuilder::unixFile(const std::string& name, const std::string& data, uint32_t mode, uint16_t method) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    e.method = method;
    e.versionMadeBy = (3 << 8) | 30;
    e.externalAttributes = mode << 16;
    return add(std::move(e));
}

ZipBuilder& ZipBuilder::folder(const std::string& name) {
    ZipEntry e;
    e.name = name;
    e.method = 0;
    e.versionMadeBy = (3 << 8) | 30;
    e.externalAttributes = (040755u << 16) | 0x10;
    return add(std::move(e));
}

std::string ZipBuilder::build() const {
    std::string out;
    std::string central;
    for (const ZipEntry& e : m_entries) {
        const std::string body = e.method == 8 ? rawDeflate(e.data) : e.data;
        const uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint32_t declared = e.declaredSize.value_or(static_cast<uint32_t>(e.data.size()));

        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, e.flags);
        put16(out, e.method);
        put32(out, e.dosDateTime);
        put32(out, crc);
        put32(out, static_cast<uint32_t>(body.size()));
        put32(out, declared);
        put16(out, static_cast<uint32_t>(e.name.size()));
        put16(out, static_cast<uint32_t>(e.localExtra.size()));
        out += e.name;
        out += e.localExtra;
        out += body;

        put32(central, 0x02014b50);
        put16(central, e.versionMadeBy);
        put16(central, 20);
        put16(central, e.flags);
        put16(central, e.method);
        put32(central, e.dosDateTime);
        put32(central, crc);
        put32(central, static_cast<uint32_t>(body.size()));
        put32(central, declared);
        put16(central, static_cast<uint32_t>(e.name.size()));
        put16(central, static_cast<uint32_t>(e.centralExtra.size()));
        put16(central, 0);  // comment
        put16(central, 0);  // disk
        put16(central, 0);  // internal attributes
        put32(central, e.externalAttributes);
        put32(central, offset);
        central += e.name;
        central += e.centralExtra;
    }
    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out += central;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<uint32_t>(m_entries.size()));
    put16(out, static_cast<uint32_t>(m_entries.size()));
    put32(out, static_cast<uint32_t>(central.size()));
    put32(out, centralOffset);
    put16(out, 0);
    return out;
}

void ZipBuilder::writeTo(const std::filesystem::path& path) const {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    const std::string bytes = build();
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint32_t ZipBuilder::dosDateTime(int year, int month, int day, int hour, int minute, int second) {
    const uint32_t date = static_cast<uint32_t>((year - 1980) << 9 | month << 5 | day);
    const uint32_t time = static_cast<uint32_t>(hour << 11 | minute << 5 | second / 2);
    return date << 16 | time;
}

std::string ZipBuilder::utExtra(uint8_t flags, std::initializer_list<uint32_t> times) {
    std::string x;
    put16(x, 0x5455);
    put16(x, static_cast<uint32_t>(1 + 4 * times.size()));
    x.push_back(static_cast<char>(flags));
    for (uint32_t t : times) put32(x, t);
    return x;
}

}  // namespace testsupport
