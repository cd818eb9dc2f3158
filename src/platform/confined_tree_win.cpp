// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/confined_tree.h"
#include "platform/file_faults.h"
#include "platform/path.h"
#include "platform/text.h"

namespace platform {

// On this system a reparse point (a junction, a symbolic link, a mount
// point) plays the part of a link. Every level below the root is opened with
// FILE_FLAG_OPEN_REPARSE_POINT, so a reparse point is opened itself and
// seen by its attribute, never followed; and each folder on the way stays
// open without delete sharing for as long as the operation lasts, so that
// nobody can rename it or replace it by a junction between the check and
// the use. Paths are formed below the root's own final "\\?\" name: no
// length limit, and no Win32 name rewriting (trailing dots, device names)
// between the check and the system. A ":" in a level is refused: it would
// name an alternate data stream of the file before it. Wine follows its
// symbolic links in spite of the flag; the name the system gives the handle
// then differs from the path, and such a link is refused: never written,
// read or listed through, and not removed either (Wine's removal would take
// the target).
//
// The tree keeps no cached folder here (m_cachedParent stays empty): the
// folders on the way are opened for each operation, which holds them all
// for exactly its length.

namespace {

constexpr DWORD kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// What meeting a link where none may be reports (ELOOP on Linux).
constexpr DWORD kErrorLink = ERROR_CANT_RESOLVE_FILENAME;
constexpr int kMaxDepth = 128;

bool isLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
bool isFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

NativeHandle openNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING,
                          DWORD flags = 0) {
    return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, kNoFollow | flags, nullptr);
}

bool attributesOf(HANDLE handle, DWORD& out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) return false;
    out = info.dwFileAttributes;
    return true;
}

// The "\\?\" name the system gives the open folder, without a trailing
// separator.
bool finalPath(HANDLE handle, std::wstring& out) {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFinalPathNameByHandleW(handle, buf.data(), static_cast<DWORD>(buf.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return false;
        if (n < buf.size()) {
            buf.resize(n);
            break;
        }
        buf.resize(n + 1);
    }
    while (!buf.empty() && buf.back() == L'\\') buf.pop_back();
    out = std::move(buf);
    return true;
}

// Whether `h`, opened at `path` (a "\\?\" path below the root's final
// name), is something other than what the name itself holds: a reparse point
// opened as itself, or one that was followed in spite of
// FILE_FLAG_OPEN_REPARSE_POINT (Wine does so for its symbolic links, while
// its listings still show them as reparse points). The name the system gives
// the handle is the path only when nothing on the way was followed. When
// that name cannot be had, the answer is "link": nothing is written then.
bool isLinkAt(HANDLE h, const std::wstring& path, DWORD attributes) {
    if (isLink(attributes)) return true;
    std::wstring actual;
    if (!finalPath(h, actual)) return true;
    return ::CompareStringOrdinal(actual.c_str(), -1, path.c_str(), -1, TRUE) != CSTR_EQUAL;
}

// Splits into levels; false for a ".." level or a level with a stream.
bool splitLevels(std::wstring_view relative, std::vector<std::wstring>& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos <= relative.size()) {
        std::size_t end = pos;
        while (end < relative.size() && !isSeparator(relative[end])) ++end;
        const std::wstring_view level = relative.substr(pos, end - pos);
        if (level == L".." || level.find(L':') != std::wstring_view::npos) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (!level.empty() && level != L".") out.emplace_back(level);
        pos = end + 1;
    }
    return true;
}

// Opens the real folder `path` (no reparse point) and keeps it from being
// renamed or removed while the handle lives. `checkName`: `path` is a
// "\\?\" path below a root's final name, and must be what the handle is.
NativeHandle holdFolder(const std::wstring& path, bool checkName = true) {
    HANDLE h = openNoFollow(path, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareNoDelete);
    if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
    DWORD attributes = 0;
    const bool known = attributesOf(h, attributes);
    const bool link = known && (checkName ? isLinkAt(h, path, attributes) : isLink(attributes));
    if (!known || link || !isFolder(attributes)) {
        const DWORD error = link ? kErrorLink : ERROR_DIRECTORY;
        ::CloseHandle(h);
        ::SetLastError(error);
        return kInvalidHandle;
    }
    return h;
}

// The folders from the root to the one holding the last level, held open.
struct Place {
    std::vector<UniqueHandle> chain;
    NativeHandle parent = kInvalidHandle;  // the root or chain.back()
    std::wstring parentPath;
    std::wstring leaf;
    std::wstring path() const { return parentPath + L"\\" + leaf; }
};

bool placeOf(HANDLE root, std::wstring_view relative, Place& place) {
    std::vector<std::wstring> levels;
    if (root == kInvalidHandle) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!splitLevels(relative, levels)) return false;
    if (levels.empty()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (!finalPath(root, place.parentPath)) return false;
    place.parent = root;
    place.leaf = levels.back();
    levels.pop_back();
    for (const std::wstring& level : levels) {
        place.parentPath += L"\\" + level;
        UniqueHandle next(holdFolder(place.parentPath));
        if (!next.valid()) {
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) ::SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        place.parent = next.get();
        place.chain.push_back(std::move(next));
    }
    return true;
}

std::string faultName(const std::wstring& leaf) {
    return wideToUtf8(leaf);
}

// Sets the attributes a file may be given (a folder's or reparse point's
// own bits are the system's), leaving the times alone.
bool setBasicInfo(HANDLE h, DWORD attributes) {
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    attributes &= kSettable;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// A name beside `leaf` that nothing else uses; CREATE_NEW makes sure of it,
// so this only has to make a clash unlikely.
std::wstring temporaryName(const std::wstring& leaf, unsigned attempt) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const unsigned long long mix = static_cast<unsigned long long>(now.QuadPart) ^
                                   (static_cast<unsigned long long>(::GetCurrentProcessId()) << 32) ^ attempt;
    return L"." + leaf + L"." + std::to_wstring(mix % 1000000007ull) + L".tmp";
}

// Puts a new empty file in the place of the link `path` by renaming it over
// the link: a rename replaces the name itself, never what it leads to. For
// the links Wine follows in spite of FILE_FLAG_OPEN_REPARSE_POINT, whose
// removal by name would take the target instead, and for its links that
// lead nowhere, which it neither lists nor opens. A link to a folder cannot
// be replaced so (a rename does not put a file over a folder): that fails.
bool replaceLinkByFile(const std::wstring& path) {
    const std::size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) {
        ::SetLastError(kErrorLink);
        return false;
    }
    const std::wstring folder = path.substr(0, cut);
    const std::wstring leaf = path.substr(cut + 1);
    std::wstring temp;
    UniqueHandle made;
    for (unsigned attempt = 0; attempt < 100 && !made.valid(); ++attempt) {
        temp = folder + L"\\" + temporaryName(leaf, attempt);
        made.reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!made.valid() && ::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (!made.valid()) return false;
    made.reset();
    if (::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temp.c_str());
    ::SetLastError(error == ERROR_SUCCESS ? kErrorLink : error);
    return false;
}

// Removes exactly the object `path` names, a reparse point itself rather
// than its target: the deletion goes through the handle that was checked.
// A read-only file goes too, as an unlink on Linux ignores the mode.
bool deleteObject(const std::wstring& path, bool allowFolder) {
    UniqueHandle h(openNoFollow(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll));
    if (!h.valid()) return false;
    DWORD attributes = 0;
    if (!attributesOf(h.get(), attributes)) return false;
    if (!isLink(attributes) && isLinkAt(h.get(), path, attributes)) {
        // A link the open followed (Wine): the handle is its target, which
        // must stay, and Wine's removal by name takes the target as well.
        // The link is first replaced by a file of its own, which then goes.
        h.reset();
        if (!replaceLinkByFile(path)) return false;
        h.reset(openNoFollow(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll));
        if (!h.valid() || !attributesOf(h.get(), attributes)) return false;
        if (isLinkAt(h.get(), path, attributes)) {
            ::SetLastError(kErrorLink);
            return false;
        }
    }
    if (!allowFolder && isFolder(attributes) && !isLink(attributes)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !setBasicInfo(h.get(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        return false;
    }
    // POSIX semantics take the name away at once, as an unlink does, even
    // while another handle still holds the file open (the folder above can
    // then go too); where the system lacks them, the name goes when the
    // last handle closes.
    // (FileDispositionInfoEx, 21, is declared for newer targets only.)
    constexpr auto kDispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    FILE_DISPOSITION_INFO_EX posix{};
    posix.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS;
    if (::SetFileInformationByHandle(h.get(), kDispositionEx, &posix, sizeof posix)) return true;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(h.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// The names in the held folder `path`, "." and ".." left out, each with its
// attributes as the folder lists them.
struct Entry {
    std::wstring name;
    DWORD attributes;
};

bool folderEntries(const std::wstring& path, std::vector<Entry>& out) {
    out.clear();
    WIN32_FIND_DATAW data{};
    HANDLE find =
        ::FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") out.push_back({name, data.dwFileAttributes});
    } while (::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        ::SetLastError(error);
        return false;
    }
    return true;
}

bool removeAllAt(HANDLE parent, const std::wstring& path, const std::wstring& leaf, int depth) {
    const std::wstring full = path + L"\\" + leaf;
    UniqueHandle h(openNoFollow(full, FILE_READ_ATTRIBUTES, kShareAll));
    if (!h.valid()) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    DWORD attributes = 0;
    if (!attributesOf(h.get(), attributes)) return false;
    const bool realFolder = isFolder(attributes) && !isLinkAt(h.get(), full, attributes);
    h.reset();
    if (injectFileFaultAt(FileOp::Delete, parent, faultName(leaf))) return false;
    if (realFolder) {
        if (depth >= kMaxDepth) {
            ::SetLastError(kErrorLink);
            return false;
        }
        // Held while it is emptied; a link swapped in after that is
        // removed itself by deleteObject, never followed.
        const UniqueHandle held(holdFolder(full));
        if (!held.valid()) return false;
        std::vector<Entry> entries;
        bool ok = folderEntries(full, entries);
        for (const Entry& e : entries) ok = removeAllAt(held.get(), full, e.name, depth + 1) && ok;
        if (!ok) return false;
    }
    return deleteObject(full, true);
}

bool listFilesAt(const std::wstring& path, const std::wstring& prefix, int depth, std::vector<std::wstring>& out) {
    if (depth >= kMaxDepth) {
        ::SetLastError(kErrorLink);
        return false;
    }
    std::vector<Entry> entries;
    if (!folderEntries(path, entries)) return false;
    for (const Entry& e : entries) {
        if (!isFolder(e.attributes) || isLink(e.attributes)) {
            out.push_back(prefix + e.name);
            continue;
        }
        const std::wstring sub = path + L"\\" + e.name;
        const UniqueHandle held(holdFolder(sub));
        if (!held.valid()) return false;
        if (!listFilesAt(sub, prefix + e.name + L"/", depth + 1, out)) return false;
    }
    return true;
}

// Seconds since 1970 as a FILETIME count (100 ns since 1601).
int64_t fileTimeOf(int64_t seconds) {
    return (seconds + 11644473600LL) * 10000000LL;
}

// Gives a read-only file (never through a reparse point) its write back, so
// that a rename can replace it as one replaces any file on Linux.
void clearReadOnly(const std::wstring& path) {
    UniqueHandle h(openNoFollow(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll));
    DWORD attributes = 0;
    if (!h.valid() || !attributesOf(h.get(), attributes) || isLinkAt(h.get(), path, attributes)) return;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && !isFolder(attributes)) {
        setBasicInfo(h.get(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
}

// Copies the regular file `from` beside `to` and renames the copy over it:
// the target is either the old file or the whole new one, never a part.
bool copyOver(const std::wstring& from, const std::wstring& toFolder, const std::wstring& leaf) {
    UniqueHandle in(openNoFollow(from, GENERIC_READ, FILE_SHARE_READ));
    DWORD attributes = 0;
    if (!in.valid() || !attributesOf(in.get(), attributes)) return false;
    if (isLinkAt(in.get(), from, attributes) || isFolder(attributes) || ::GetFileType(in.get()) != FILE_TYPE_DISK) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    in.reset();
    const std::wstring temp = toFolder + L"\\." + leaf + L".moving";
    const std::wstring target = toFolder + L"\\" + leaf;
    deleteObject(temp, false);
    // The source was checked above and is held by no one else's link:
    // COPY_FILE_COPY_SYMLINK keeps a link swapped in meanwhile from being
    // followed.
    if (!::CopyFileExW(from.c_str(), temp.c_str(), nullptr, nullptr, nullptr,
                       COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK)) {
        const DWORD error = ::GetLastError();
        deleteObject(temp, false);
        ::SetLastError(error);
        return false;
    }
    clearReadOnly(target);
    if (::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        deleteObject(from, false);
        return true;
    }
    const DWORD error = ::GetLastError();
    deleteObject(temp, false);
    ::SetLastError(error);
    return false;
}

}  // namespace

TreeFile::~TreeFile() {
    close();
}

bool TreeFile::write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    if (injectFileFaultOnHandle(FileOp::Write, m_handle.get())) {
        // A disk that fills up takes part of a write before it refuses.
        const DWORD error = ::GetLastError();
        DWORD done = 0;
        if (::WriteFile(m_handle.get(), p, static_cast<DWORD>(std::min<std::size_t>(size / 2, 0x40000000)), &done,
                        nullptr)) {
            m_written += done;
        }
        ::SetLastError(error);
        return false;
    }
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 0x40000000));
        if (!::WriteFile(m_handle.get(), p, chunk, &done, nullptr)) return false;
        m_written += done;
        p += done;
        left -= done;
    }
    return true;
}

bool TreeFile::cutHere() {
    // Cutting a file that has not grown shorter would only cost a log record
    // of the file system per file.
    if (m_written >= m_initialSize) return true;
    if (injectFileFaultOnHandle(FileOp::Truncate, m_handle.get())) return false;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(m_written);
    return ::SetFileInformationByHandle(m_handle.get(), FileEndOfFileInfo, &end, sizeof end) != FALSE;
}

// Only the owner-write bit has a counterpart here: without it the file is
// read-only.
bool TreeFile::setMode(uint32_t mode) {
    if (injectFileFaultOnHandle(FileOp::SetAttributes, m_handle.get())) return false;
    DWORD attributes = 0;
    if (!attributesOf(m_handle.get(), attributes)) return false;
    if ((mode & 0200) != 0) {
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    } else {
        attributes = (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) | FILE_ATTRIBUTE_READONLY;
    }
    return setBasicInfo(m_handle.get(), attributes);
}

bool TreeFile::setTimes(bool setAccess, int64_t accessSeconds, bool setWrite, int64_t writeSeconds) {
    if (injectFileFaultOnHandle(FileOp::SetAttributes, m_handle.get())) return false;
    // Zero leaves a time alone; the attributes stay as they are.
    FILE_BASIC_INFO basic{};
    basic.LastAccessTime.QuadPart = setAccess ? fileTimeOf(accessSeconds) : 0;
    basic.LastWriteTime.QuadPart = setWrite ? fileTimeOf(writeSeconds) : 0;
    return ::SetFileInformationByHandle(m_handle.get(), FileBasicInfo, &basic, sizeof basic) != FALSE;
}

bool TreeFile::close() {
    return m_handle.close();
}

ConfinedTree::~ConfinedTree() {
    close();
}

bool ConfinedTree::open(const std::wstring& root) {
    close();
    std::wstring path = root.empty() ? L"." : root;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    // The root is the caller's path: a reparse point there is followed.
    HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareNoDelete,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    UniqueHandle held(h);
    DWORD attributes = 0;
    if (!attributesOf(h, attributes)) return false;
    if (!isFolder(attributes)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    m_root = std::move(held);
    return true;
}

void ConfinedTree::close() {
    m_cachedParent.reset();
    m_cachedParentPath.clear();
    m_root.reset();
}

bool ConfinedTree::createFolders(std::wstring_view relative) {
    std::vector<std::wstring> levels;
    std::wstring path;
    if (!m_root.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!splitLevels(relative, levels) || !finalPath(m_root.get(), path)) return false;
    std::vector<UniqueHandle> chain;
    NativeHandle at = m_root.get();
    for (const std::wstring& level : levels) {
        path += L"\\" + level;
        UniqueHandle next(holdFolder(path));
        if (!next.valid()) {
            const DWORD error = ::GetLastError();
            bool make = error == ERROR_FILE_NOT_FOUND;
            // A reparse point where a folder belongs is dropped, not followed.
            if (error == kErrorLink && !injectFileFaultAt(FileOp::Delete, at, faultName(level))) {
                make = deleteObject(path, true);
            }
            if (make && !injectFileFaultAt(FileOp::CreateFolder, at, faultName(level)) &&
                (::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)) {
                next.reset(holdFolder(path));
            }
            if (!next.valid()) return false;
        }
        at = next.get();
        chain.push_back(std::move(next));
    }
    return true;
}

ConfinedTree::Kind ConfinedTree::kind(std::wstring_view relative) {
    Place place;
    if (!placeOf(m_root.get(), relative, place)) return Kind::Missing;
    const UniqueHandle h(openNoFollow(place.path(), FILE_READ_ATTRIBUTES, kShareAll));
    DWORD attributes = 0;
    if (!h.valid() || !attributesOf(h.get(), attributes)) return Kind::Missing;
    if (isLinkAt(h.get(), place.path(), attributes)) return Kind::Link;
    if (isFolder(attributes)) return Kind::Folder;
    return ::GetFileType(h.get()) == FILE_TYPE_DISK ? Kind::File : Kind::Other;
}

bool ConfinedTree::makeWritable(std::wstring_view relative) {
    Place place;
    if (!placeOf(m_root.get(), relative, place)) return false;
    const UniqueHandle h(openNoFollow(place.path(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll));
    DWORD attributes = 0;
    if (!h.valid() || !attributesOf(h.get(), attributes)) return false;
    if (isLinkAt(h.get(), place.path(), attributes)) {
        ::SetLastError(kErrorLink);
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    if (injectFileFaultAt(FileOp::SetAttributes, place.parent, faultName(place.leaf))) return false;
    return setBasicInfo(h.get(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

bool ConfinedTree::remove(std::wstring_view relative) {
    Place place;
    if (!placeOf(m_root.get(), relative, place)) return false;
    if (injectFileFaultAt(FileOp::Delete, place.parent, faultName(place.leaf))) return false;
    return deleteObject(place.path(), false);
}

bool ConfinedTree::removeAll(std::wstring_view relative) {
    std::vector<std::wstring> levels;
    if (!splitLevels(relative, levels)) return false;
    // The root itself is not this call's to remove.
    if (levels.empty()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    Place place;
    if (!placeOf(m_root.get(), relative, place)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND;
    }
    return removeAllAt(place.parent, place.parentPath, place.leaf, 0);
}

bool ConfinedTree::listFiles(std::vector<std::wstring>& out) {
    out.clear();
    std::wstring path;
    if (!m_root.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!finalPath(m_root.get(), path) || !listFilesAt(path, L"", 0, out)) {
        out.clear();
        return false;
    }
    // The order the Linux build gives: UTF-8 byte order.
    std::sort(out.begin(), out.end(),
              [](const std::wstring& a, const std::wstring& b) { return wideToUtf8(a) < wideToUtf8(b); });
    return true;
}

bool ConfinedTree::moveTo(std::wstring_view relative, ConfinedTree& target) {
    Place from;
    Place to;
    if (!placeOf(m_root.get(), relative, from) || !placeOf(target.m_root.get(), relative, to)) return false;
    if (injectFileFaultAt(FileOp::Rename, to.parent, faultName(to.leaf))) return false;
    const std::wstring source = from.path();
    const std::wstring destination = to.path();
    // A rename moves a reparse point itself and replaces one at the target
    // without following either; a read-only file in the way is replaced as
    // any other.
    clearReadOnly(destination);
    if (::MoveFileExW(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (::GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
    return copyOver(source, to.parentPath, to.leaf);
}

bool ConfinedTree::createFile(std::wstring_view relative, TreeFile& out) {
    out.close();
    Place place;
    if (!placeOf(m_root.get(), relative, place)) return false;
    if (injectFileFaultAt(FileOp::Create, place.parent, faultName(place.leaf))) return false;
    // Opened, not truncated: see the header. A reparse point in the way is
    // opened itself and refused below, never written through.
    // An existing file is opened; a missing one is made with CREATE_NEW,
    // which fails on any name already there, a dangling link included: an
    // open that may create would create the link's target where the system
    // follows it (Wine does).
    // Delete sharing keeps the rule the callers are written to: a file
    // being written may be moved or removed, as on Linux.
    const std::wstring path = place.path();
    UniqueHandle file;
    for (int attempt = 0; attempt < 2 && !file.valid(); ++attempt) {
        const DWORD disposition = attempt == 0 ? OPEN_EXISTING : CREATE_NEW;
        file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file.valid()) break;
        const DWORD error = ::GetLastError();
        if (attempt == 0 && error != ERROR_FILE_NOT_FOUND) return false;
        if (attempt == 1) {
            // Neither openable nor missing: a link that leads nowhere, which
            // a rename replaces by a file of our own, opened once more.
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
            if (!replaceLinkByFile(path)) return false;
            file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!file.valid()) return false;
        }
    }
    DWORD attributes = 0;
    if (!attributesOf(file.get(), attributes)) return false;
    if (isLinkAt(file.get(), path, attributes)) {
        ::SetLastError(kErrorLink);
        return false;
    }
    LARGE_INTEGER size{};
    if (isFolder(attributes) || ::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.get(), &size)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    out.m_handle = std::move(file);
    out.m_initialSize = static_cast<uint64_t>(size.QuadPart);
    out.m_written = 0;
    return true;
}

bool ConfinedTree::openWithoutLink(const std::wstring& root) {
    close();
    std::wstring path = root.empty() ? L"." : root;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    while (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
    m_root.reset(holdFolder(path, false));
    if (!m_root.valid()) return false;
    // Where the open followed a link (Wine), the name still shows it; held
    // without delete sharing, the name cannot change after the open.
    const DWORD named = ::GetFileAttributesW(path.c_str());
    if (named == INVALID_FILE_ATTRIBUTES || isLink(named)) {
        m_root.reset();
        ::SetLastError(named == INVALID_FILE_ATTRIBUTES ? ERROR_PATH_NOT_FOUND : kErrorLink);
        return false;
    }
    return true;
}

bool ConfinedTree::readFile(std::wstring_view relative, std::size_t limit, Part part, std::string& out,
                            uint64_t* size) {
    out.clear();
    Place place;
    if (!placeOf(m_root.get(), relative, place)) return false;
    const UniqueHandle file(openNoFollow(place.path(), GENERIC_READ, kShareAll));
    if (!file.valid()) return false;
    DWORD attributes = 0;
    if (!attributesOf(file.get(), attributes)) return false;
    if (isLinkAt(file.get(), place.path(), attributes)) {
        ::SetLastError(kErrorLink);
        return false;
    }
    LARGE_INTEGER length{};
    if (isFolder(attributes) || ::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.get(), &length)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const uint64_t whole = static_cast<uint64_t>(length.QuadPart);
    if (size != nullptr) *size = whole;
    uint64_t at = 0;
    if (part == Part::Tail && whole > limit) at = whole - limit;
    // The size is where the file stood at the open; a file still growing is
    // read no further than `limit` all the same.
    out.resize(static_cast<std::size_t>(std::min<uint64_t>(whole, limit)));
    std::size_t done = 0;
    while (done < out.size()) {
        OVERLAPPED ov{};
        const uint64_t offset = at + done;
        ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 0x40000000));
        if (!::ReadFile(file.get(), out.data() + done, chunk, &n, &ov)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            out.clear();
            return false;
        }
        if (n == 0) break;
        done += n;
    }
    out.resize(done);
    return true;
}

bool ConfinedTree::replaceFile(std::wstring_view relative, std::string_view bytes) {
    Place place;
    if (!placeOf(m_root.get(), relative, place)) return false;
    std::wstring temp;
    UniqueHandle file;
    for (unsigned attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
        temp = place.parentPath + L"\\" + temporaryName(place.leaf, attempt);
        file.reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid() && ::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (!file.valid()) return false;
    bool ok = true;
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (ok && left > 0) {
        DWORD n = 0;
        ok = ::WriteFile(file.get(), p, static_cast<DWORD>(std::min<std::size_t>(left, 0x40000000)), &n, nullptr) !=
             FALSE;
        p += n;
        left -= n;
    }
    ok = ok && ::FlushFileBuffers(file.get());
    DWORD error = ::GetLastError();
    if (!file.close() && ok) {
        ok = false;
        error = ::GetLastError();
    }
    // The rename replaces a reparse point at the place itself, never its
    // target.
    if (ok && ::MoveFileExW(temp.c_str(), place.path().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    if (ok) error = ::GetLastError();
    deleteObject(temp, false);
    ::SetLastError(error);
    return false;
}

}  // namespace platform

#endif  // _WIN32
