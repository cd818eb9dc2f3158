#include "foundation/ZipUtil.h"

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/SystemUtil.h"
#include "foundation/ZipReader.h"
#include "platform/confined_tree.h"
#include "platform/disk_space.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

constexpr uint16_t kHostUnix = 3;
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymlink = 0120000;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"

// Room kept free beyond the members' declared sizes: each member may take
// one more file-system block than its bytes, and the rest of the run (its
// log above all) must still find room once the package is in.
constexpr uint64_t kRoomPerMember = 4096;
constexpr uint64_t kRoomToSpare = 1u << 20;

wchar_t asciiUpper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// A level Windows would turn into a device (with any extension: "nul.txt"
// is NUL as well, and so are spaces before the dot), e.g. CON, NUL, COM1,
// LPT1 and their superscript-digit forms.
bool isDeviceName(std::wstring_view level) {
    std::wstring_view base = level.substr(0, level.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    std::wstring upper;
    for (wchar_t c : base) upper += asciiUpper(c);
    static constexpr std::wstring_view kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (std::wstring_view name : kNames) {
        if (upper == name) return true;
    }
    if (upper.size() != 4 || (upper.compare(0, 3, L"COM") != 0 && upper.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t digit = upper[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

// A level that does not name a file of its own inside the destination on
// every system the package may be unpacked on. The same package reaches
// Linux and Windows players, so what either would misread is refused on
// both: ".." climbs out; a ":" is a drive ("C:x" is relative to that
// drive's current folder) or an alternate data stream ("a.exe:s" writes a
// hidden stream of a.exe); Windows drops trailing dots and spaces, so
// "a.exe." would replace a.exe; and device names open the device.
bool isUnsafeLevel(std::wstring_view level) {
    if (level.empty() || level == L".") return false;
    if (level == L"..") return true;
    if (level.find(L':') != std::wstring_view::npos) return true;
    if (level.back() == L'.' || level.back() == L' ') return true;
    return isDeviceName(level);
}

// A member name that would put its file outside the destination, or
// somewhere other than the file it names. Checked for every member before
// the first one is written, so that such an archive changes nothing at all.
bool leavesDestination(const ZipReader::Member& m) {
    // A name with a zero byte would be cut short by every system call.
    if (m.rawName.find('\0') != std::string::npos) return true;
    // The whole stored name, not the one held to 259 characters: a ".."
    // beyond the cut says what the archive meant, and such an archive is
    // refused as a whole like any other.
    const std::wstring n = platform::utf8ToWide(m.rawName);
    // Absolute, and with it UNC ("\\server\share") and "\\?\" names.
    if (!n.empty() && platform::isSeparator(n[0])) return true;
    std::size_t pos = 0;
    while (pos <= n.size()) {
        std::size_t end = pos;
        while (end < n.size() && !platform::isSeparator(n[end])) ++end;
        if (isUnsafeLevel(std::wstring_view(n).substr(pos, end - pos))) return true;
        pos = end + 1;
    }
    return false;
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The DOS date and time as seconds since 1970, read as UTC: the stored
// fields are used as they are, with no time-zone conversion. False for a
// date or time that does not exist (the member then keeps the times the
// system gives it).
bool dosTimeToUnix(uint32_t dosDateTime, int64_t& out) {
    const unsigned date = dosDateTime >> 16;
    const unsigned time = dosDateTime & 0xffffu;
    const unsigned year = 1980 + (date >> 9);
    const unsigned month = (date >> 5) & 15;
    const unsigned day = date & 31;
    const unsigned hour = time >> 11;
    const unsigned minute = (time >> 5) & 63;
    const unsigned second = (time & 31) * 2;
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    out = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

struct MemberTimes {
    bool hasAccess = false;
    bool hasWrite = false;
    int64_t access = 0;
    int64_t write = 0;
};

uint16_t le16(const std::string& s, std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

uint32_t le32(const std::string& s, std::size_t at) {
    return static_cast<uint32_t>(le16(s, at)) | static_cast<uint32_t>(le16(s, at + 2)) << 16;
}

MemberTimes memberTimes(const ZipReader::Member& m) {
    MemberTimes t;
    int64_t dos = 0;
    if (dosTimeToUnix(m.dosDateTime, dos)) {
        t.hasAccess = t.hasWrite = true;
        t.access = t.write = dos;
    }
    // The extended timestamp: a flags byte, then one 32-bit count of seconds
    // since 1970 for each flag set (modification, access, creation). The
    // central directory's copy usually carries only the modification time
    // while its flags still announce the others, so only the times that the
    // block really holds are taken. Creation time has no counterpart here.
    const std::string& x = m.extra;
    std::size_t pos = 0;
    while (pos + 4 <= x.size()) {
        const uint16_t tag = le16(x, pos);
        const std::size_t size = le16(x, pos + 2);
        const std::size_t data = pos + 4;
        if (size > x.size() - data) break;
        if (tag == kExtendedTimestampTag && size >= 1) {
            const unsigned flags = static_cast<unsigned char>(x[data]);
            std::size_t at = data + 1;
            const std::size_t end = data + size;
            if ((flags & 1u) != 0 && at + 4 <= end) {
                t.hasWrite = true;
                t.write = le32(x, at);
                at += 4;
            }
            if ((flags & 2u) != 0 && at + 4 <= end) {
                t.hasAccess = true;
                t.access = le32(x, at);
            }
            break;
        }
        pos = data + size;
    }
    return t;
}

// The permission bits the extracted file gets: the member's own Unix bits
// (exec bits included) when the archive was made on Unix and carries them,
// else rw-r--r--; write bits cleared when the attributes say read-only. A
// link is written as a plain file holding the link text, so it never takes
// the link's rwxrwxrwx; set-id and sticky bits are never applied. Group and
// other write are never given: another user who could change a file we
// install could change the program we start.
uint32_t memberMode(const ZipReader::Member& m, uint32_t attributes) {
    const uint32_t unixMode = m.externalAttributes >> 16;
    uint32_t mode = 0644;
    if ((m.versionMadeBy >> 8) == kHostUnix && (unixMode & 0777) != 0 &&
        (unixMode & kUnixTypeMask) != kUnixSymlink) {
        mode = unixMode & 0777;
    }
    if ((attributes & kFileAttributeReadonly) != 0) mode &= ~0222u;
    return mode & ~022u;
}

int32_t writeMember(ZipReader& reader, const ZipReader::Member& m, platform::TreeFile& file,
                    std::vector<unsigned char>& chunk) {
    if (!reader.openMember(m)) return kZipWriteFailed;
    int32_t rc = kZipOk;
    for (;;) {
        const int64_t n = reader.readMember(chunk.data(), chunk.size());
        if (n < 0) {
            rc = kZipWriteFailed;
            break;
        }
        if (n == 0) break;
        if (!file.write(chunk.data(), static_cast<std::size_t>(n))) {
            rc = kZipWriteFailed;
            break;
        }
    }
    reader.closeMember();
    return rc;
}

// A small archive may declare members of many gigabytes: what cannot fit is
// refused before the disk is filled. No member is written past its declared
// size (ZipReader::readMember), so the declared sizes bound what is written.
// A file system that cannot tell its free space is not held against the
// archive.
bool hasRoomFor(const std::vector<ZipReader::Member>& members, const std::wstring& root) {
    uint64_t needed = kRoomToSpare;
    for (const ZipReader::Member& m : members) {
        const uint64_t add = m.uncompressedSize >= UINT64_MAX - kRoomPerMember ? UINT64_MAX
                                                                               : m.uncompressedSize + kRoomPerMember;
        needed = add > UINT64_MAX - needed ? UINT64_MAX : needed + add;
    }
    return platform::diskRoomFor(root, needed) != platform::DiskRoom::TooLittle;
}

int32_t extractAll(ZipReader& reader, const wchar_t* localPath) {
    std::vector<ZipReader::Member> members;
    if (!reader.readDirectory(members)) return kZipOpenFailed;
    for (const ZipReader::Member& m : members) {
        if (leavesDestination(m)) return kZipOpenFailed;
    }
    if (members.empty()) return kZipOk;
    // Without a destination every target would be rooted at "/".
    if (localPath == nullptr || localPath[0] == L'\0') return kZipCreateFailed;

    const std::wstring root(localPath);
    if (!hasRoomFor(members, root)) return kZipNoSpace;
    const bool rootEndsWithSeparator = root.back() == L'\\' || root.back() == L'/';
    platform::ConfinedTree tree;
    auto openRoot = [&](bool create) {
        if (tree.isOpen()) return true;
        if (create) ::CreateFolderPath(localPath);
        return tree.open(root);
    };
    std::vector<unsigned char> chunk(kZipWriteChunk);

    for (const ZipReader::Member& m : members) {
        const std::wstring& name = m.name;
        const uint32_t attributes = ZipMemberAttributes(m.externalAttributes);
        const bool isFolder = (attributes & kFileAttributeDirectory) != 0 ||
                              (!name.empty() && platform::isSeparator(name.back()));

        // Joined paths are bounded at 259 characters on every system. A
        // longer one is never cut (that would touch some other file): such a
        // folder is not made and such a file cannot be created.
        auto fits = [&](std::size_t nameLength) {
            return root.size() + (rootEndsWithSeparator ? 0 : 1) + nameLength < kMaxPathChars;
        };

        // Every folder level of the name, whichever separators it mixes.
        std::size_t cut = name.size();
        while (cut > 0 && !platform::isSeparator(name[cut - 1])) --cut;
        if (cut > 1 && fits(cut - 1)) {
            if (openRoot(true)) tree.createFolders(std::wstring_view(name).substr(0, cut - 1));
        }
        if (isFolder) {
            if (fits(name.size()) && openRoot(true)) tree.createFolders(name);
            continue;
        }

        if (!fits(name.size())) return kZipCreateFailed;
        // A missing destination is made, also for an archive whose members
        // all sit at its top level.
        if (!openRoot(true)) return kZipCreateFailed;

        switch (tree.kind(name)) {
            case platform::ConfinedTree::Kind::Missing:
                break;
            case platform::ConfinedTree::Kind::File:
            case platform::ConfinedTree::Kind::Folder:
                if (!tree.makeWritable(name) && !tree.remove(name)) return kZipTargetLocked;
                break;
            case platform::ConfinedTree::Kind::Link:
            case platform::ConfinedTree::Kind::Other:
                // A link is never written through, and nothing else but a
                // plain file is ever opened for writing.
                if (!tree.remove(name)) return kZipTargetLocked;
                break;
        }

        platform::TreeFile file;
        if (!tree.createFile(name, file)) return kZipCreateFailed;
        int32_t rc = writeMember(reader, m, file, chunk);
        if (!file.cutHere() && rc == kZipOk) rc = kZipWriteFailed;
        if (rc == kZipOk) {
            const MemberTimes t = memberTimes(m);
            if (t.hasAccess || t.hasWrite) file.setTimes(t.hasAccess, t.access, t.hasWrite, t.write);
        }
        file.setMode(memberMode(m, attributes));
        if (!file.close() && rc == kZipOk) rc = kZipWriteFailed;
        if (rc != kZipOk) return rc;
    }
    return kZipOk;
}

}  // namespace

uint32_t ZipMemberAttributes(uint32_t externalAttributes) {
    uint32_t attributes = kFileAttributeNormal;
    if ((externalAttributes & 0x40000000u) != 0 || (externalAttributes & 0x10u) != 0) {
        attributes |= kFileAttributeDirectory;
    }
    if ((externalAttributes & 0x20u) != 0) attributes |= kFileAttributeArchive;
    if ((externalAttributes & 0x02u) != 0) attributes |= kFileAttributeHidden;
    if ((externalAttributes & 0x00800000u) == 0 || (externalAttributes & 0x01u) != 0) {
        attributes |= kFileAttributeReadonly;
    }
    if ((externalAttributes & 0x04u) != 0) attributes |= kFileAttributeSystem;
    return attributes;
}

int32_t ZipUtil::UnZipFile(const wchar_t* zipPath, const wchar_t* localPath) {
    try {
        ZipReader reader;
        if (zipPath == nullptr || !reader.openFile(zipPath)) return kZipOpenFailed;
        return extractAll(reader, localPath);
    } catch (const std::bad_alloc&) {
        return kZipWriteFailed;
    }
}

int32_t ZipUtil::UnZipMemory(const void* data, std::size_t size, const wchar_t* localPath) {
    try {
        ZipReader reader;
        if (!reader.openMemory(data, size)) return kZipOpenFailed;
        return extractAll(reader, localPath);
    } catch (const std::bad_alloc&) {
        return kZipWriteFailed;
    }
}

void ZipUtil::CreateFolderPath(const wchar_t* path) { ::CreateFolderPath(path); }

ZipUtil* getZipUtil() {
    static ZipUtil instance;
    return &instance;
}
