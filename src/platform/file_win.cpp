// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <windows.h>

#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/file_faults.h"
#include "platform/full_path_win.h"
#include "platform/path.h"
#include "platform/text.h"

namespace platform {

namespace {

// The largest count one ReadFile or WriteFile call is given.
constexpr std::size_t kMaxTransfer = 1u << 30;

// The path as the fault switch's report spells it.
std::string faultPath(const SystemPath& path) { return wideToUtf8(path); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What meeting a link where none may be reports (ELOOP on Linux).
constexpr DWORD kErrorLink = ERROR_CANT_RESOLVE_FILENAME;

// The "\\?\" name the system gives an open file or folder.
bool finalName(HANDLE h, std::wstring& out) {
    out.assign(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return false;
        if (n < out.size()) {
            out.resize(n);
            while (!out.empty() && out.back() == L'\\') out.pop_back();
            return true;
        }
        out.assign(n, L'\0');
    }
    return false;
}

// The final name `leaf` has in `folder` when nothing on the way to it is
// followed: the folder's own final name (the caller's path, links in it
// followed) joined with the leaf.
bool finalNameIn(const SystemPath& folder, const std::wstring& leaf, std::wstring& out) {
    UniqueHandle h(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid() || !finalName(h.get(), out)) return false;
    out += L"\\" + leaf;
    return true;
}

// Splits a path into its folder and last level.
bool splitLast(const SystemPath& p, SystemPath& folder, std::wstring& leaf) {
    std::wstring full;
    if (!fullPathName(p, full)) return false;
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    const std::size_t cut = full.rfind(L'\\');
    if (cut == std::wstring::npos || cut + 1 >= full.size()) return false;
    folder = full.substr(0, cut + 1);
    leaf = full.substr(cut + 1);
    return true;
}

// Whether `h`, opened at `p` with FILE_FLAG_OPEN_REPARSE_POINT, is the entry
// itself. Wine follows its symbolic links in spite of the flag and shows a
// link to a file as that file: the handle's final name is then the target's.
// When that cannot be told, the answer is "not itself": nothing is changed.
bool opensItself(HANDLE h, const SystemPath& p) {
    SystemPath folder;
    std::wstring leaf;
    std::wstring expected;
    std::wstring actual;
    if (!splitLast(p, folder, leaf) || !finalNameIn(folder, leaf, expected) || !finalName(h, actual)) return false;
    return ::CompareStringOrdinal(actual.c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Puts an empty file of our own in the place of the link `p` by renaming it
// over the link: a rename replaces the name, never what it leads to. For the
// file links Wine follows, whose deletion by name takes the target instead.
bool replaceLinkByFile(const SystemPath& p) {
    SystemPath folder;
    std::wstring leaf;
    if (!splitLast(p, folder, leaf)) return false;
    std::wstring temp;
    UniqueHandle made;
    for (unsigned attempt = 0; attempt < 100 && !made.valid(); ++attempt) {
        temp = folder + L"." + leaf + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(attempt) + L".tmp";
        made.reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!made.valid() && ::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (!made.valid()) return false;
    made.reset();
    if (::MoveFileExW(temp.c_str(), p.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temp.c_str());
    ::SetLastError(error);
    return false;
}

// Deletes through a handle opened on the entry itself, so that what was
// checked is what goes.
bool deleteThrough(HANDLE h) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

}  // namespace

File::~File() { close(); }

File::File(File&& other) noexcept = default;

File& File::operator=(File&& other) noexcept = default;

bool File::open(const std::wstring& path, Access access, Disposition disposition, bool append) {
    close();
    const SystemPath p = toSystemPath(path);
    DWORD rights = 0;
    switch (access) {
        case Access::Read: rights = GENERIC_READ; break;
        case Access::Write: rights = GENERIC_WRITE; break;
        case Access::ReadWrite: rights = GENERIC_READ | GENERIC_WRITE; break;
    }
    if (access != Access::Read && append) {
        // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every
        // write at the end, also against other processes appending.
        rights = (rights & ~static_cast<DWORD>(GENERIC_WRITE)) | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES |
                 FILE_WRITE_EA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    }
    DWORD creation = OPEN_EXISTING;
    if (disposition == Disposition::OpenAlways) creation = OPEN_ALWAYS;
    // Only a writer truncates; a reader asking for CreateAlways gets the
    // file made when missing and its content kept, as on POSIX.
    if (disposition == Disposition::CreateAlways) creation = access == Access::Read ? OPEN_ALWAYS : CREATE_ALWAYS;
    if ((access != Access::Read || disposition != Disposition::OpenExisting) &&
        injectFileFault(FileOp::Create, faultPath(p))) {
        return false;
    }
    // A read-only file refuses write access whoever asks. The system refuses
    // it as well, but a system layer running as root on another kernel (Wine)
    // lets it through, so the rule is kept here as on POSIX.
    if (access != Access::Read) {
        const DWORD attributes = ::GetFileAttributesW(p.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    // Sharing everything keeps the POSIX rules the rest of the program is
    // written to: an open file may be read, written, renamed or deleted by
    // another handle.
    const HANDLE h = ::CreateFileW(p.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    UniqueHandle file(h);
    if (!file.valid()) return false;
    // Only disk files are files here: a pipe, console or device put in the
    // file's place (a name like "\\.\pipe\x", "CONIN$", "NUL") could block a
    // read for good or take what is written; no file the program reads or
    // writes is meant to be one.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    m_handle = std::move(file);
    return true;
}

void File::close() { m_handle.reset(); }

int64_t File::read(void* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
    if (!::ReadFile(m_handle.get(), buffer, want, &got, nullptr)) return -1;
    return static_cast<int64_t>(got);
}

namespace {

bool writeAll(HANDLE h, const void* data, std::size_t size, std::size_t* written) {
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t left = size - done;
        const DWORD want = static_cast<DWORD>(left < kMaxTransfer ? left : kMaxTransfer);
        DWORD n = 0;
        if (!::WriteFile(h, p + done, want, &n, nullptr)) break;
        if (n == 0) {
            ::SetLastError(ERROR_WRITE_FAULT);
            break;
        }
        done += n;
    }
    if (written != nullptr) *written = done;
    return done == size;
}

}  // namespace

bool File::write(const void* buffer, std::size_t size, std::size_t* written) {
    if (injectFileFaultOnHandle(FileOp::Write, m_handle.get())) {
        // A disk that fills up takes part of a write before it refuses.
        const DWORD error = ::GetLastError();
        writeAll(m_handle.get(), buffer, size / 2, written);
        ::SetLastError(error);
        return false;
    }
    return writeAll(m_handle.get(), buffer, size, written);
}

bool File::seek(uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(m_handle.get(), to, nullptr, FILE_BEGIN) != FALSE;
}

// SetEndOfFile cuts at the file pointer; the pointer is put back after, as
// ftruncate leaves the offset where it was.
bool File::truncate(uint64_t size) {
    if (injectFileFaultOnHandle(FileOp::Truncate, m_handle.get())) return false;
    LARGE_INTEGER zero{};
    LARGE_INTEGER was{};
    if (!::SetFilePointerEx(m_handle.get(), zero, &was, FILE_CURRENT)) return false;
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(m_handle.get(), to, nullptr, FILE_BEGIN)) return false;
    const bool cut = ::SetEndOfFile(m_handle.get()) != FALSE;
    const DWORD error = ::GetLastError();
    ::SetFilePointerEx(m_handle.get(), was, nullptr, FILE_BEGIN);
    ::SetLastError(error);
    return cut;
}

bool File::size(uint64_t& out) const {
    LARGE_INTEGER s{};
    if (!::GetFileSizeEx(m_handle.get(), &s)) return false;
    out = static_cast<uint64_t>(s.QuadPart);
    return true;
}

bool pathExists(const std::wstring& path) {
    return ::GetFileAttributesW(toSystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(toSystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool createDirectory(const std::wstring& path) {
    const SystemPath p = toSystemPath(path);
    if (injectFileFault(FileOp::CreateFolder, faultPath(p))) return false;
    return ::CreateDirectoryW(p.c_str(), nullptr) != FALSE;
}

bool replaceFile(const std::wstring& from, const std::wstring& to) {
    const SystemPath f = toSystemPath(from);
    const SystemPath t = toSystemPath(to);
    if (injectFileFault(FileOp::Rename, faultPath(f))) return false;
    return ::MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool deleteFile(const std::wstring& path) {
    const SystemPath p = toSystemPath(path);
    // The attributes of the name itself: a link or junction is never
    // followed here.
    const DWORD attributes = ::GetFileAttributesW(p.c_str());
    const bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder && !link) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (injectFileFault(FileOp::Delete, faultPath(p))) return false;
    // The entry itself is opened and deleted through that handle: a link
    // (symbolic link or junction, to a file or a folder) goes, never what
    // it points to.
    const DWORD access = DELETE | FILE_READ_ATTRIBUTES;
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    UniqueHandle entry(::CreateFileW(p.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!entry.valid()) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(entry.get(), &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && !opensItself(entry.get(), p)) {
        // A link the open followed (Wine): the handle is its target, and
        // Wine's deletion by name takes the target too. A link to a file is
        // first replaced by a file of our own, which then goes; a link to a
        // folder cannot be replaced so and stays.
        entry.reset();
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !replaceLinkByFile(p)) {
            ::SetLastError(kErrorLink);
            return false;
        }
        entry.reset(::CreateFileW(p.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
        if (!entry.valid()) return false;
        if (!opensItself(entry.get(), p)) {
            ::SetLastError(kErrorLink);
            return false;
        }
    }
    return deleteThrough(entry.get());
}

namespace {

// Opens the entry itself (FILE_FLAG_OPEN_REPARSE_POINT) and changes its
// attributes through that handle: a link put in the file's place after the
// look is the entry changed, never its target, and a link found there is
// refused.
bool changeReadOnly(const std::wstring& path, bool readOnly) {
    const SystemPath p = toSystemPath(path);
    UniqueHandle entry(::CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry.valid()) return false;
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic)) return false;
    // A reparse point, or a link the open followed (Wine).
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !opensItself(entry.get(), p)) {
        ::SetLastError(kErrorLink);
        return false;
    }
    DWORD attributes = basic.FileAttributes;
    if (readOnly) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    } else {
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    }
    if (attributes == basic.FileAttributes) return true;
    if (injectFileFault(FileOp::SetAttributes, faultPath(p))) return false;
    // Zero means "leave as it is" to the system; FILE_ATTRIBUTE_NORMAL is the
    // spelling of "none".
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    // The times are left as they are (zero: unchanged).
    basic.CreationTime.QuadPart = 0;
    basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = 0;
    basic.ChangeTime.QuadPart = 0;
    return ::SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic) != FALSE;
}

}  // namespace

bool setFileReadOnly(const std::wstring& path) { return changeReadOnly(path, true); }

bool setFileAttributesNormal(const std::wstring& path) { return changeReadOnly(path, false); }

bool fileSize(const std::wstring& path, uint64_t& out) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(toSystemPath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    out = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

namespace {

bool endsWithNoCase(const std::wstring& name, const std::wstring& suffix) {
    if (name.size() < suffix.size()) return false;
    if (suffix.empty()) return true;
    // The file system's own rule for letter case: ordinal, upper-cased.
    return ::CompareStringOrdinal(name.data() + (name.size() - suffix.size()), static_cast<int>(suffix.size()),
                                  suffix.data(), static_cast<int>(suffix.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool listDirectory(const std::wstring& folder, const std::wstring& suffix, std::vector<DirEntry>& out) {
    out.clear();
    SystemPath pattern = toSystemPath(folder);
    if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    // The folder's final name, to tell a file from a link to one that Wine
    // lists as the file it leads to.
    std::wstring folderName;
    {
        UniqueHandle h(::CreateFileW(toSystemPath(folder).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!h.valid() || !finalName(h.get(), folderName)) folderName.clear();
    }
    const auto linkedFile = [&](const std::wstring& name) {
        if (folderName.empty()) return false;
        const std::wstring expected = folderName + L"\\" + name;
        UniqueHandle h(::CreateFileW(expected.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        std::wstring actual;
        if (!h.valid() || !finalName(h.get(), actual)) return false;
        return ::CompareStringOrdinal(actual.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL;
    };
    WIN32_FIND_DATAW found{};
    const HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        // A folder with no entry at all (a drive's root may have none) is an
        // empty listing.
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::wstring_view raw(found.cFileName);
        if (raw == L"." || raw == L"..") continue;
        std::wstring name(raw);
        if (!endsWithNoCase(name, suffix)) continue;
        const DWORD a = found.dwFileAttributes;
        const bool link = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        DirEntry entry;
        entry.name = std::move(name);
        // An entry describes itself: a link to a folder is no folder, and a
        // link to a file no file, as lstat has it.
        entry.isDirectory = (a & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link;
        entry.isRegularFile =
            (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 && !link && !linkedFile(entry.name);
        const uint64_t ticks = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                               found.ftLastWriteTime.dwLowDateTime;
        entry.lastWriteSeconds = ticks / 10000000u;
        out.push_back(std::move(entry));
    } while (::FindNextFileW(find, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    ::SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}

}  // namespace platform

#endif  // _WIN32
