// Signed launcher packages: with update keys built in, a package is used
// only when its statement ("<package url>.sig", see
// foundation/PackageStatement.h) is signed by one of them, names the
// version the service announced and the exact package, and is not older
// than the statement of the launcher installed now. The MD5 the service
// announces beside the URL proves nothing against whoever controls that
// answer; the key is not on the service.
//
// The statement of the installed launcher is kept beside the install
// folder. It is read without its signature being checked again: it only
// ever raises the bar (a time the next package must not fall below), and a
// missing or unreadable one lets any validly signed package through, which
// is no worse than a first install.
#include <curl/curl.h>

#include <memory>
#include <string>

#include "foundation/PackageStatement.h"
#include "platform/confined_tree.h"
#include "platform/error.h"
#include "platform/path.h"
#include "transfer/HttpOperation.h"
#include "upgrade/upgradeManager.h"
#include "upgrade/upgradeManagerLog.h"

namespace {

constexpr const ModuleLog& kLog = kUpgradeLog;

// The folder that holds `path` and the last level's name, for a
// ConfinedTree on the folder: the kept statement is never read or written
// through a link put in its place.
bool splitLeaf(const std::wstring& path, std::wstring& folder, std::wstring& leaf) {
    std::size_t cut = path.size();
    while (cut > 0 && !platform::isSeparator(path[cut - 1])) --cut;
    if (cut == 0 || cut == path.size()) return false;
    folder = path.substr(0, cut);
    leaf = path.substr(cut);
    return true;
}

}  // namespace

std::wstring UpgradeManager::acceptedStatementPath() const {
    std::wstring_view install(m_installFolder);
    while (!install.empty() && platform::isSeparator(install.back())) install.remove_suffix(1);
    std::wstring out;
    if (install.empty() || !JoinPath(out, {install, kAcceptedStatementSuffix}, kMaxPathChars)) return {};
    return out;
}

int32_t UpgradeManager::fetchStatement(const char* packageUrl) {
    m_statement.clear();
    const std::string url = std::string(packageUrl) + kStatementUrlSuffix;
    HttpOperation* http = m_pHttpManager;
    int32_t status = 0;
    int32_t size = -1;
    // The statement's address obeys the package URL's bound.
    if (http != nullptr && url.size() < sizeof(DownloadTask{}.url)) {
        size = http->getFileSize(url.c_str(), m_curlWaitTime, &status);
    }
    if (size <= 0 || static_cast<std::size_t>(size) > kStatementMaxBytes) {
        kLog(911, "Fetch package signature failed url:%s size:%d status:%d", url.c_str(), size, status);
        return kPackageBadArchive;
    }
    // One piece holds the whole statement; loadPiece takes only exactly the
    // bytes the HEAD announced.
    auto piece = std::make_unique<PieceBuffer>();
    CURL* handle = http->initPieceHandle(url.c_str(), m_curlWaitTime);
    const int32_t r = handle != nullptr
                          ? http->loadPiece(handle, 0, piece.get(), static_cast<uint32_t>(size))
                          : static_cast<int32_t>(CURLE_FAILED_INIT);
    if (handle != nullptr) curl_easy_cleanup(handle);
    if (r != kPieceOk || piece->length != static_cast<uint32_t>(size)) {
        if (!stopped()) kLog(913, "Fetch package signature failed url:%s loadRes:%d", url.c_str(), r);
        return kPackageBadArchive;
    }
    m_statement.assign(piece->data, piece->length);
    return 0;
}

bool UpgradeManager::statementVouches(const wchar_t* packagePath) {
    std::string installedAt;
    std::wstring folder, leaf;
    if (splitLeaf(acceptedStatementPath(), folder, leaf)) {
        platform::ConfinedTree tree;
        std::string kept;
        PackageStatement accepted;
        if (tree.open(folder) && tree.readFile(leaf, kStatementMaxBytes + 1, platform::ConfinedTree::Part::Head, kept) &&
            parsePackageStatement(kept, accepted) == StatementCheck::Ok) {
            installedAt = accepted.signedAt;
        }
    }
    std::string sha256;
    uint64_t size = 0;
    if (!sha256File(packagePath, sha256, size, m_stop.get_token())) {
        if (!stopped()) {
            kLog.wide(921, L"Check package signature failed: package unreadable lastErrID:%lu path:%s",
                      static_cast<unsigned long>(platform::lastError()), packagePath);
        }
        return false;
    }
    const PackageFacts facts{m_announcedVersion, size, sha256, installedAt};
    const StatementCheck check = checkPackageStatement(m_statement, m_updateKeys, facts);
    if (check != StatementCheck::Ok) {
        kLog(923, "Check package signature failed: %s ver:%s size:%llu sha256:%s installed signed:%s",
             statementCheckText(check), m_announcedVersion.c_str(), static_cast<unsigned long long>(size),
             sha256.c_str(), installedAt.empty() ? "-" : installedAt.c_str());
        return false;
    }
    PackageStatement verified;
    parsePackageStatement(m_statement, verified);
    kLog(925, "Package signature verified ver:%s signed:%s", verified.version.c_str(), verified.signedAt.c_str());
    return true;
}

void UpgradeManager::keepStatement() {
    std::wstring folder, leaf;
    platform::ConfinedTree tree;
    const std::wstring path = acceptedStatementPath();
    if (!splitLeaf(path, folder, leaf) || !tree.open(folder) || !tree.replaceFile(leaf, m_statement)) {
        kLog.wide(931, L"Keep package signature failed lastErrID:%lu path:%s",
                  static_cast<unsigned long>(platform::lastError()), path.c_str());
    }
}
