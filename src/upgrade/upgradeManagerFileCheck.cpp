// The launcher's file list: client/launcher.db read into a version and a
// list of (path, MD5) entries, and the check of each listed file on disk.
#include "upgrade/upgradeManager.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "foundation/Json.h"
#include "foundation/Md5.h"
#include "foundation/SystemUtil.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/system_info.h"
#include "platform/text.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;
constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
constexpr std::wstring_view kListPath = L"client/launcher.db";

// A listed path must stay inside the install folder: the check makes
// changed files writable, and a package must not reach any other file.
bool isContainedPath(std::string_view path) {
    if (path.empty() || path[0] == '/' || path[0] == '\\') return false;
    if (path.size() >= 2 && path[1] == ':') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = path.size();
        if (path.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

// A listed path as the file check resolves it below a folder: the text
// made wide as the check makes it, both separators alike, and empty and "."
// levels dropped, as the file system drops them. Letter case is kept or
// folded (ASCII only) as asked.
std::wstring resolvedForm(std::wstring_view wide, bool foldCase) {
    std::wstring out;
    out.reserve(wide.size());
    std::size_t start = 0;
    while (start <= wide.size()) {
        std::size_t end = wide.find_first_of(L"/\\", start);
        if (end == std::wstring_view::npos) end = wide.size();
        const std::wstring_view level = wide.substr(start, end - start);
        if (!level.empty() && level != L".") {
            if (!out.empty()) out += L'/';
            for (wchar_t c : level)
                out += foldCase && c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        }
        start = end + 1;
    }
    return out;
}

// Every value of the parsed tree but a container's first comes after a ","
// and every container starts with "[" or "{", so these characters (counted
// in names and texts too, which only counts high) bound the tree's nodes.
// A list of entries needs two per entry; without this bound a list of
// small values within kMaxLauncherListBytes would expand into millions of
// nodes (hundreds of MiB) before the entry bound is reached.
constexpr std::size_t kMaxListValueMarks = 8 * kMaxLauncherListEntries;

bool holdsFewValues(std::string_view text) {
    std::size_t marks = 0;
    for (char c : text) {
        if ((c == ',' || c == '[' || c == '{') && ++marks > kMaxListValueMarks) return false;
    }
    return true;
}

// Walks the root object in document order: "files" fills the list, the
// first "version" ends the walk. Entries the fixed fields cannot hold, or
// that name a file outside the install folder, make the whole file invalid:
// a list that cannot be checked must not pass as checked. So do more than
// kMaxLauncherListEntries entries and a file named twice: each listed file
// is digested at every start, and a list that names one big file thousands
// of times would hold every start for minutes. Two names are one file when
// they differ only in separators, empty or "." levels or ASCII letter case:
// where file names ignore case (as they do on Windows) they are, and a
// launcher's list never spells one file two ways.
LauncherListResult readList(JsonNode& root, char* versionOut, std::vector<FileEntry>& out, std::string* badVersion) {
    std::unordered_set<std::wstring> listed;
    const uint32_t members = root.size();
    for (uint32_t i = 0; i < members; ++i) {
        JsonNode* member = root.at(i);
        if (member == nullptr) continue;
        const std::string name = member->name();
        if (name == "version") {
            const std::string version = member->asString();
            if (version.size() >= 32) {
                if (badVersion != nullptr) *badVersion = version;
                return LauncherListResult::NoVersion;
            }
            std::memcpy(versionOut, version.c_str(), version.size() + 1);
            return LauncherListResult::Ok;
        }
        if (name != "files") continue;
        const uint32_t entries = member->size();
        if (entries > kMaxLauncherListEntries - listed.size()) return LauncherListResult::Invalid;
        for (uint32_t j = 0; j < entries; ++j) {
            JsonNode* entry = member->at(j);
            JsonNode* first = entry != nullptr ? entry->at(0) : nullptr;
            if (first == nullptr) return LauncherListResult::Invalid;
            const std::string path = first->name();
            const std::string md5 = first->asString();
            if (path.size() >= sizeof(FileEntry::path) || md5.size() >= sizeof(FileEntry::md5) ||
                !isContainedPath(path) || !listed.insert(resolvedForm(platform::utf8ToWide(path), true)).second) {
                return LauncherListResult::Invalid;
            }
            FileEntry fe{};
            std::memcpy(fe.path, path.c_str(), path.size() + 1);
            std::memcpy(fe.md5, md5.c_str(), md5.size() + 1);
            out.push_back(fe);
        }
    }
    return LauncherListResult::Ok;
}

// A file the package does not carry stays where it is installed only if
// nothing the package does carry takes its place: a file the package puts
// where one of its folders is would remove it when moved into place.
bool staysInPlace(const wchar_t* folder, const std::wstring& relative) {
    for (std::size_t at = relative.find_first_of(L"/\\"); at != std::wstring::npos;
         at = relative.find_first_of(L"/\\", at + 1)) {
        std::wstring level;
        if (!JoinPath(level, {folder, std::wstring_view(relative).substr(0, at)}, kMaxPathChars)) return false;
        if (platform::pathExists(level) && !platform::isDirectory(level)) return false;
    }
    return true;
}

}  // namespace

LauncherListResult parseLauncherFileList(const std::string& text, char* versionOut, std::vector<FileEntry>& out,
                                         std::string* badVersion) {
    versionOut[0] = '\0';
    if (text.size() > kMaxLauncherListBytes || std::memchr(text.data(), '\0', text.size()) != nullptr ||
        !holdsFewValues(text) || !JsonIsValid(text.c_str()))
        return LauncherListResult::Invalid;
    std::unique_ptr<JsonNode> root(JsonParse(text.c_str()));
    if (root == nullptr) return LauncherListResult::Invalid;
    const LauncherListResult r = readList(*root, versionOut, out, badVersion);
    if (r == LauncherListResult::Invalid) {
        versionOut[0] = '\0';
        out.clear();
        return r;
    }
    if (r == LauncherListResult::Ok && versionOut[0] == '\0') return LauncherListResult::NoVersion;
    return r;
}

int32_t UpgradeManager::praseVersionFile(char* versionOut, std::vector<FileEntry>& fileListOut) {
    return readVersionFileIn(m_installFolder, versionOut, fileListOut);
}

int32_t UpgradeManager::readVersionFileIn(const wchar_t* folder, char* versionOut, std::vector<FileEntry>& fileListOut) {
    std::wstring path;
    if (!JoinPath(path, {folder, L"client/launcher.db"}, kMaxPathChars)) {
        kLog.wide(443, L"File not exist path:%s", folder);
        return kVersionFileMissing;
    }
    if (!platform::pathExists(path)) {
        kLog.wide(443, L"File not exist path:%s", path.c_str());
        return kVersionFileMissing;
    }
    platform::File file;
    if (!file.open(path, platform::File::Access::Read, platform::File::Disposition::OpenExisting)) {
        kLog.wide(450, L"OpenFile failed:%s", path.c_str());
        return kVersionFileUnopenable;
    }
    uint64_t size = 0;
    std::string text;
    // A longer list is refused unread: it is never held in memory.
    bool readOk = file.size(size) && size <= kMaxLauncherListBytes;
    if (readOk) {
        text.resize(static_cast<std::size_t>(size));
        std::size_t got = 0;
        while (got < text.size()) {
            const int64_t n = file.read(text.data() + got, text.size() - got);
            if (n <= 0) {
                readOk = n == 0;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
    }
    file.close();
    std::vector<FileEntry> list;
    std::string badVersion;
    const LauncherListResult parsed =
        readOk ? parseLauncherFileList(text, versionOut, list, &badVersion) : LauncherListResult::Invalid;
    if (parsed == LauncherListResult::Invalid) {
        kLog.wide(460, L"File Content is invalid:%s", path.c_str());
        return kVersionFileInvalid;
    }
    if (parsed == LauncherListResult::NoVersion) {
        kLog(491, "unknow version:%s", badVersion.c_str());
        return kVersionFileInvalid;
    }
    fileListOut.insert(fileListOut.end(), list.begin(), list.end());
    return 0;
}

bool UpgradeManager::checkFileList(std::vector<FileEntry> fileList) {
    return checkFilesIn(m_installFolder, fileList);
}

namespace {

// What the check found for one listed file, before anything is logged.
struct FileFinding {
    std::wstring path;
    bool fits = false;
    bool exists = false;
    int32_t digest = 0;
    char local[kMd5TextCapacity] = {};
    bool ready = false;  // under DigestPool::m_lock
};

// Digests the listed files on a few threads, in list order of taking, while
// the caller reads the findings strictly in list order: what the check logs
// and changes stays in the order of the list, and nothing is logged or
// changed for a file after the first missing one, however far the digests
// ran ahead. Reading ahead only reads files, which the check may.
class DigestPool {
public:
    // The pool asks for at most this many threads: more than the machine's
    // cores only makes the reads compete, and four keep a disk busy.
    static constexpr uint32_t kMaxThreads = 4;

    DigestPool(const wchar_t* folder, const wchar_t* keptFolder, const std::vector<FileEntry>& list,
               std::stop_token stop)
        : m_folder(folder), m_keptFolder(keptFolder), m_list(list), m_findings(list.size()),
          m_stopLink(std::move(stop), [this] { m_stop.request_stop(); }) {
        uint32_t threads = std::min(platform::onlineProcessors(), kMaxThreads);
        if (threads > list.size()) threads = static_cast<uint32_t>(list.size());
        // One thread is the caller itself: it digests while it waits.
        for (uint32_t i = 1; i < threads; ++i) {
            m_threads.emplace_back(std::make_unique<platform::Thread>());
            if (!m_threads.back()->start("fileCheck", [this] {
                    while (digestNext()) {
                    }
                    return 0u;
                })) {
                m_threads.pop_back();
                break;  // the caller digests what no thread takes
            }
        }
    }

    ~DigestPool() {
        m_stop.request_stop();
        for (auto& t : m_threads) t->join();
    }

    DigestPool(const DigestPool&) = delete;
    DigestPool& operator=(const DigestPool&) = delete;

    // The finding of entry `index`, once there is one: the caller digests
    // entries no thread has taken yet while it waits. Every taken entry is
    // finished (a digest ends at once on the stop), so the wait has an end.
    const FileFinding& finding(std::size_t index) {
        for (;;) {
            {
                std::unique_lock lock(m_lock);
                if (m_findings[index].ready) return m_findings[index];
                if (m_next.load() >= m_list.size()) {
                    m_done.wait(lock, [&] { return m_findings[index].ready; });
                    return m_findings[index];
                }
            }
            digestNext();
        }
    }

    std::stop_token stopToken() const { return m_stop.get_token(); }

private:
    bool digestNext() {
        const std::size_t index = m_next.fetch_add(1);
        if (index >= m_list.size()) return false;
        FileFinding found;
        // After the stop every entry still gets a finding, so no wait for
        // one is left without an end.
        if (m_stop.stop_requested()) {
            found.exists = true;
            found.digest = kMd5Stopped;
        } else {
            resolve(m_list[index], found);
        }
        {
            std::lock_guard lock(m_lock);
            m_findings[index] = std::move(found);
            m_findings[index].ready = true;
        }
        m_done.notify_all();
        return true;
    }

    void resolve(const FileEntry& entry, FileFinding& out) const {
        const std::wstring relative = platform::utf8ToWide(entry.path);
        out.fits = JoinPath(out.path, {m_folder, relative}, kMaxPathChars);
        std::wstring kept;
        if (out.fits && !platform::pathExists(out.path) && m_keptFolder != nullptr &&
            staysInPlace(m_folder, relative) && JoinPath(kept, {m_keptFolder, relative}, kMaxPathChars) &&
            platform::pathExists(kept)) {
            out.path = kept;
        }
        out.exists = out.fits && platform::pathExists(out.path);
        if (!out.exists) return;
        out.digest = getFileMd5(out.path.c_str(), out.local, m_stop.get_token());
    }

    const wchar_t* m_folder;
    const wchar_t* m_keptFolder;
    const std::vector<FileEntry>& m_list;
    std::vector<FileFinding> m_findings;
    std::atomic<std::size_t> m_next{0};
    std::mutex m_lock;
    std::condition_variable m_done;
    std::stop_source m_stop;
    std::stop_callback<std::function<void()>> m_stopLink;
    std::vector<std::unique_ptr<platform::Thread>> m_threads;
};

}  // namespace

bool UpgradeManager::checkFilesIn(const wchar_t* folder, const std::vector<FileEntry>& fileList,
                                  const wchar_t* keptFolder) {
    if (!m_fileCompare) return true;
    // The stop request ends the check between files and inside a digest; a
    // check cut short has found nothing, so it logs nothing and changes no
    // file, and it counts as failed: what it did not see is not checked.
    const std::stop_token stop = m_stop.get_token();
    if (fileList.empty()) return true;
    DigestPool pool(folder, keptFolder, fileList, stop);
    bool ok = true;
    for (std::size_t i = 0; i < fileList.size(); ++i) {
        if (stop.stop_requested()) return false;
        const FileEntry& entry = fileList[i];
        const FileFinding& found = pool.finding(i);
        if (!found.exists) {
            kLog(512, "check file not exist file:%s", platform::wideToUtf8(found.fits ? found.path : folder).c_str());
            ok = false;
            break;
        }
        if (found.digest == kMd5Stopped || stop.stop_requested()) return false;
        char local[kMd5TextCapacity] = {};
        // The digest refuses empty files, yet a package may list one with the
        // MD5 of no bytes: without this every run would see a damaged launcher.
        if (found.digest == kMd5EmptyFile) std::strcpy(local, kEmptyMd5);
        else if (found.digest == 0) std::memcpy(local, found.local, sizeof local);
        if (strcasecmp(local, entry.md5) != 0) {
            const std::wstring& path = found.path;
            kLog.wide(520, L"check %s failed ", path.c_str());
            kLog(521, "Local:%s Line:%s", local, entry.md5);
            if (!platform::setFileAttributesNormal(path)) kLog.wide(523, L"SetFile NORMAL failed file:%s", path.c_str());
            ok = false;
        }
    }
    return ok;
}

namespace {

bool isEmptyFile(const wchar_t* folder, const std::wstring& relative) {
    std::wstring path;
    if (!JoinPath(path, {folder, relative}, kMaxPathChars)) return false;
    platform::File file;
    uint64_t size = 0;
    return file.open(path, platform::File::Access::Read, platform::File::Disposition::OpenExisting) &&
           file.size(size) && size == 0;
}

}  // namespace

void keepListedFiles(const wchar_t* folder, std::vector<std::wstring>& staged, const std::vector<FileEntry>& fileList) {
    std::unordered_set<std::wstring> listed;
    for (const FileEntry& entry : fileList) listed.insert(resolvedForm(platform::utf8ToWide(entry.path), false));
    std::erase_if(staged, [&](const std::wstring& relative) {
        return relative != kListPath && listed.count(resolvedForm(relative, false)) == 0 &&
               !isEmptyFile(folder, relative);
    });
}
