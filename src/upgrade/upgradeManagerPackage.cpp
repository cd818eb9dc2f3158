// The launcher package update: the service check, the download of
// client.upd, its MD5 check (and, with update keys built in, its signed
// statement: upgradeManagerSignature.cpp), the unpacking and the check of
// what it brought.
//
// A package is unpacked into a staging folder beside the install folder and
// checked there; only a launcher that passes its own check is moved into
// place, file by file with one rename each, client/launcher.db last. So a
// package that fails leaves the installed launcher exactly as it was, and a
// move cut short (a kill, a full disk) leaves the old list in place, which no
// longer matches the files already moved: the next run's check sees a
// damaged launcher and installs again. A rename also replaces a launcher
// whose process is still ending, which writing over it in place cannot.
#include "upgrade/upgradeManager.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include "foundation/Md5.h"
#include "foundation/SystemUtil.h"
#include "foundation/ZipUtil.h"
#include "platform/confined_tree.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "service/KTUpgrade.h"
#include "transfer/ResumeRecord.h"
#include "upgrade/LauncherWindow.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;

constexpr std::wstring_view kVersionFileName = L"client/launcher.db";

void copyVersion(char* newVer, const char* version) {
    CopyToField(newVer, 32, version);
}

std::wstring_view withoutTrailingSeparators(std::wstring_view path) {
    while (!path.empty() && platform::isSeparator(path.back())) path.remove_suffix(1);
    return path;
}

// Makes room in the install folder for the staged file `relative`: its
// folders exist and nothing but a file (or link) sits at its place. The
// install folder is this program's own and nothing of ours puts a folder
// where the package has a file, or a file where it has a folder; left there,
// such a remnant would fail every update for ever. So it is removed, and the
// log says so. Only the exact place the package needs is touched.
bool clearPlaceFor(platform::ConfinedTree& to, const std::wstring& installFolder, const std::wstring& relative) {
    const std::size_t cut = relative.rfind(L'/');
    auto removeInTheWay = [&](std::wstring_view level, bool folder) {
        kLog.wide(628, L"Remove what is in the way path:%s%s", installFolder.c_str(), std::wstring(level).c_str());
        return folder ? to.removeAll(level) : to.remove(level);
    };
    if (cut != std::wstring::npos && cut > 0) {
        for (std::size_t at = relative.find(L'/'); at != std::wstring::npos && at <= cut;
             at = relative.find(L'/', at + 1)) {
            const std::wstring_view level(relative.data(), at);
            const auto kind = to.kind(level);
            if ((kind == platform::ConfinedTree::Kind::File || kind == platform::ConfinedTree::Kind::Other) &&
                !removeInTheWay(level, false)) {
                return false;
            }
        }
        if (!to.createFolders(std::wstring_view(relative).substr(0, cut))) return false;
    }
    if (to.kind(relative) == platform::ConfinedTree::Kind::Folder) return removeInTheWay(relative, true);
    return true;
}

}  // namespace

int32_t UpgradeManager::getUpdateUrl(const char* version, UpdateInfo* pResInfo) {
    const int r = m_pKtUpgrade != nullptr
                      ? m_pKtUpgrade->checkLauncherUpgrade(version, pResInfo->url, pResInfo->ip, pResInfo->ver,
                                                           pResInfo->md5)
                      : -1;
    if (r < 0) {
        kLog(318, "checkLauncherUpgrade failed resVal:%d ", r);
        warn(IDS_PARSE_UPDATE_FAILED);
        return -2;
    }
    return 0;
}

int32_t UpgradeManager::loadLauncherZip(const UpdateInfo* pResInfo, const char* localVer, char* newVer) {
    if (std::strcmp(pResInfo->ver, localVer) == 0) {
        // A run killed while it unpacked leaves a whole launcher's copy
        // there; with nothing to install it would wait for the next update.
        const std::wstring staging = stagingFolder();
        if (!staging.empty() && platform::pathExists(staging)) discardStaging();
        copyVersion(newVer, localVer);
        onDownloadProgress(100, 100, 0);
        return 0;
    }
    kLog(386, "launcherURL:%s", pResInfo->url);
    int tries = kPackageTries;
    while (tries > 0) {
        if (stopped()) return kUpdateStopped;
        const int32_t r = updateLauncherPackage(pResInfo, pResInfo->md5, newVer);
        if (r == 0) break;
        if (stopped()) return kUpdateStopped;
        --tries;
        kLog(396, "download launcher.zip failed ResCode %d tryTimes %d", r, tries);
        if (tries <= 0 || r == kDownloadFailed) {
            warn(IDS_UPDATE_FAILED);
            return kLoadNotInstalled;
        }
    }
    onDownloadProgress(100, 100, 0);
    return 0;
}

int32_t UpgradeManager::updateLauncherPackage(const UpdateInfo* pResInfo, const char* md5, char* newVer) {
    std::wstring packagePath;
    // A temp folder of a length the system refuses cannot hold the package.
    if (!JoinPath(packagePath, {m_tempFolder, L"client.upd"}, kMaxPathChars)) return kPackageBadArchive;

    if (signedPackages()) {
        // The statement comes first: without one nothing is worth fetching,
        // and a kept package is held to it as a fresh one is.
        m_announcedVersion = pResInfo->ver;
        const int32_t f = fetchStatement(pResInfo->url);
        if (stopped()) return kUpdateStopped;
        if (f != 0) return f;
    }
    if (verifyAndUnzip(md5, packagePath.c_str()) == 0) {
        char reused[32] = {};
        if (installStaged(reused) == 0) {
            if (signedPackages()) keepStatement();
            return 0;
        }
        // A kept package whose launcher fails its own check would be
        // unpacked again by every try of every run: it goes like any other
        // and a fresh one is fetched.
    }
    if (stopped()) return kUpdateStopped;
    if (platform::pathExists(packagePath)) {
        platform::setFileAttributesNormal(packagePath);
        // A download cut short continues from its record; the downloader
        // throws the file away itself when the record does not fit it.
        if (!hasResumeRecord(packagePath)) platform::deleteFile(packagePath);
    }

    DownloadTask task;
    CopyToField(task.url, sizeof task.url, pResInfo->url);
    std::wcsncpy(task.folder, m_tempFolder, std::size(task.folder) - 1);
    std::wcsncpy(task.fileName, L"client.upd", std::size(task.fileName) - 1);
    CopyToField(task.md5, sizeof task.md5, md5);
    const int32_t d = m_pDownLoader->DownLoadFile(&task, m_pHttpManager, 0);
    if (d != 0) {
        kLog(570, "DownLoadFile failed loadUrl:%s loadRes:%d", pResInfo->url, d);
        return d;
    }
    if (stopped()) return kUpdateStopped;

    const int32_t v = verifyAndUnzip(md5, packagePath.c_str());
    platform::deleteFile(packagePath);
    if (v != 0) return kPackageBadArchive;

    char version[32] = {};
    const int32_t s = installStaged(version);
    if (s != 0) return s;
    if (signedPackages()) keepStatement();
    copyVersion(newVer, version);
    return 0;
}

std::wstring UpgradeManager::stagingFolder() const {
    const std::wstring_view install = withoutTrailingSeparators(m_installFolder);
    std::wstring out;
    if (install.empty() || !JoinPath(out, {install, kStagingSuffix, L"/"}, kMaxPathChars)) return {};
    return out;
}

bool UpgradeManager::discardStaging() {
    const std::wstring staging = stagingFolder();
    if (staging.empty()) return true;
    const std::wstring_view folder = withoutTrailingSeparators(staging);
    std::size_t cut = folder.size();
    while (cut > 0 && !platform::isSeparator(folder[cut - 1])) --cut;
    platform::ConfinedTree parent;
    // The staging folder itself is never followed if it is a link: the
    // removal works from its parent, and removes a link, not its target.
    bool gone = parent.open(std::wstring(folder.substr(0, cut)))
                    ? parent.removeAll(folder.substr(cut))
                    : !platform::pathExists(std::wstring(folder));
    if (!gone) {
        kLog.wide(626, L"Remove staging folder failed lastErrID:%lu path:%s",
                  static_cast<unsigned long>(platform::lastError()), staging.c_str());
    }
    return gone;
}

int32_t UpgradeManager::installStaged(char* versionOut) {
    const std::wstring staging = stagingFolder();
    if (staging.empty()) return kPackageBadArchive;
    std::vector<FileEntry> fileList;
    int32_t result = 0;
    const int32_t p = readVersionFileIn(staging.c_str(), versionOut, fileList);
    if (p != 0) {
        kLog(584, "praseVersionFile failed res:%d", p);
        result = kPackageBadVersionFile;
    } else if (!checkFilesIn(staging.c_str(), fileList, m_installFolder)) {
        // A check ended by the stop request has found no fault.
        const bool stop = stopped();
        if (!stop) kLog(590, "checkFileList failed ");
        result = stop ? kUpdateStopped : kPackageBadFile;
    } else if (stopped()) {
        result = kUpdateStopped;
    } else if (!moveStagedFiles(staging, fileList)) {
        result = kPackageBadArchive;
    }
    discardStaging();
    return result;
}

bool UpgradeManager::moveStagedFiles(const std::wstring& staging, const std::vector<FileEntry>& fileList) {
    const std::wstring install = m_installFolder;
    auto failed = [&](const std::wstring& relative) {
        const auto error = static_cast<unsigned long>(platform::lastError());
        kLog.wide(631, L"MoveFile failed lastErrID:%lu from:%s%s to:%s%s", error, staging.c_str(), relative.c_str(),
                  install.c_str(), relative.c_str());
        return false;
    };
    platform::ConfinedTree from;
    std::vector<std::wstring> files;
    if (!from.open(staging) || !from.listFiles(files)) return failed(L"");
    // What the list does not name was never checked: it stays behind and
    // goes with the staging folder.
    keepListedFiles(staging.c_str(), files, fileList);
    // The list last: until it is in place the installed list still names
    // the old files, and a run that ends half way is repaired by the next.
    std::stable_partition(files.begin(), files.end(), [](const std::wstring& f) { return f != kVersionFileName; });
    ::CreateFolderPath(install.c_str());
    platform::ConfinedTree to;
    if (!to.open(install)) return failed(L"");
    for (const std::wstring& relative : files) {
        if (!clearPlaceFor(to, install, relative) || !from.moveTo(relative, to)) return failed(relative);
    }
    return true;
}

int32_t UpgradeManager::verifyAndUnzip(const char* md5, const wchar_t* packagePath) {
    if (checkFileMd5(packagePath, md5) != 0) {
        kLog.wide(605, L"Check Zip File MD5 failed path:%s", packagePath);
        kLog(606, "Check Zip File MD5 failed MD5:%s", md5);
        return kVerifyMd5Failed;
    }
    if (signedPackages() && !statementVouches(packagePath)) return kVerifyMd5Failed;
    ZipUtil* zip = getZipUtil();
    if (zip == nullptr) {
        kLog(614, "pZip is NULL lastErrID:%lu", static_cast<unsigned long>(platform::lastError()));
        return kVerifyNoZip;
    }
    // What is unpacked is installed next: never after the stop.
    if (stopped()) return kVerifyUnzipFailed;
    // A staging folder that a killed run left behind must not lend its
    // files to this package.
    const std::wstring staging = stagingFolder();
    const int32_t u =
        staging.empty() || !discardStaging() ? kZipCreateFailed : zip->UnZipFile(packagePath, staging.c_str());
    if (u != 0) {
        kLog.wide(622, L"UnZipFile failed dwRes:%d lastErrID:%lu zipPath:%s localPath:%s", u,
                  static_cast<unsigned long>(platform::lastError()), packagePath, staging.c_str());
        discardStaging();
        return kVerifyUnzipFailed;
    }
    return 0;
}
