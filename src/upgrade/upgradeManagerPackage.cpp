// The launcher package update: the service check, the download of
// client.upd, its MD5 check, the unpacking and the check of what it brought.
#include "upgrade/upgradeManager.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "foundation/Md5.h"
#include "foundation/SystemUtil.h"
#include "foundation/ZipUtil.h"
#include "platform/error.h"
#include "platform/file.h"
#include "service/KTUpgrade.h"
#include "upgrade/LauncherWindow.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;

// The package is checked and unpacked over the installed launcher, so the
// result must not depend on what the service sent beyond the field.
void copyVersion(char* newVer, const char* version) {
    CopyToField(newVer, 32, version);
}

}  // namespace

int32_t UpgradeManager::getUpdateUrl(const char* version, UpdateInfo* pResInfo) {
    const int r = m_pKtUpgrade != nullptr
                      ? m_pKtUpgrade->checkLauncherUpgrade(version, pResInfo->url, pResInfo->ip, pResInfo->ver,
                                                           pResInfo->md5)
                      : -1;
    if (r < 0) {
        kLog(318, "checkLauncherUpgrade failed resVal:%d ", r);
        if (!stopped() && m_pWindow != nullptr) m_pWindow->ShowWarning(IDS_PARSE_UPDATE_FAILED, m_stop.get_token());
        return -2;
    }
    return 0;
}

int32_t UpgradeManager::loadLauncherZip(const UpdateInfo* pResInfo, const char* localVer, char* newVer) {
    if (std::strcmp(pResInfo->ver, localVer) == 0) {
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
            if (m_pWindow != nullptr) m_pWindow->ShowWarning(IDS_UPDATE_FAILED, m_stop.get_token());
            return kStateNotInstalled;
        }
    }
    onDownloadProgress(100, 100, 0);
    return 0;
}

int32_t UpgradeManager::updateLauncherPackage(const UpdateInfo* pResInfo, const char* md5, char* newVer) {
    std::wstring packagePath;
    // A temp folder of a length the system refuses cannot hold the package.
    if (!JoinPath(packagePath, {m_tempFolder, L"client.upd"}, kMaxPathChars)) return kPackageBadArchive;

    if (verifyAndUnzip(md5, packagePath.c_str()) == 0) return 0;
    if (stopped()) return kUpdateStopped;
    if (platform::pathExists(packagePath)) {
        platform::setFileAttributesNormal(packagePath);
        platform::deleteFile(packagePath);
    }

    DownloadTask task;
    CopyToField(task.url, sizeof task.url, pResInfo->url);
    std::wcsncpy(task.folder, m_tempFolder, std::size(task.folder) - 1);
    std::wcsncpy(task.fileName, L"client.upd", std::size(task.fileName) - 1);
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
    std::vector<FileEntry> fileList;
    const int32_t p = praseVersionFile(version, fileList);
    if (p != 0) {
        kLog(584, "praseVersionFile failed res:%d", p);
        return kPackageBadVersionFile;
    }
    if (!checkFileList(fileList)) {
        kLog(590, "checkFileList failed ");
        return kPackageBadFile;
    }
    copyVersion(newVer, version);
    return 0;
}

int32_t UpgradeManager::verifyAndUnzip(const char* md5, const wchar_t* packagePath) {
    if (checkFileMd5(packagePath, md5) != 0) {
        kLog.wide(605, L"Check Zip File MD5 failed path:%s", packagePath);
        kLog(606, "Check Zip File MD5 failed MD5:%s", md5);
        return kVerifyMd5Failed;
    }
    ZipUtil* zip = getZipUtil();
    if (zip == nullptr) {
        kLog(614, "pZip is NULL lastErrID:%lu", static_cast<unsigned long>(platform::lastError()));
        return kVerifyNoZip;
    }
    // Unpacking writes over the installed launcher: never after the stop.
    if (stopped()) return kVerifyUnzipFailed;
    const int32_t u = zip->UnZipFile(packagePath, m_installFolder);
    if (u != 0) {
        kLog.wide(622, L"UnZipFile failed dwRes:%d lastErrID:%lu zipPath:%s localPath:%s", u,
                  static_cast<unsigned long>(platform::lastError()), packagePath, m_installFolder);
        return kVerifyUnzipFailed;
    }
    return 0;
}
