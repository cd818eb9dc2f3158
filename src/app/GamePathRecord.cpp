#include "app/GamePathRecord.h"

#include <cerrno>
#include <string>

#include "app/AppLog.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/folders.h"

namespace {

constexpr const ModuleLog& kLog = kGameLauncherLog;

}  // namespace

void WriteGamePathRecord(const wchar_t* programFolder) {
    std::wstring appData;
    if (!platform::roamingAppDataFolder(appData)) {
        kLog(258, "SHGetSpecialFolderPathW failed:%lu", static_cast<unsigned long>(platform::lastError()));
        return;
    }
    // Both paths are bounded to 259 characters. Rather than write the record
    // somewhere a cut path happens to point, a longer one is refused like a
    // file that cannot be created.
    std::wstring folder;
    std::wstring path;
    if (!JoinPath(folder, {appData, kProductFolder, L"GamePath/"}, kMaxPathChars) ||
        !JoinPath(path, {folder, L"GamePath.rcd"}, kMaxPathChars)) {
        const std::wstring wanted = appData + kProductFolder + L"GamePath/GamePath.rcd";
        kLog.wide(271, L"CreateFileW failed:%lu path:%s", static_cast<unsigned long>(ENAMETOOLONG), wanted.c_str());
        return;
    }
    CreateFolderPath(folder.c_str());

    platform::File file;
    if (!file.open(path, platform::File::Access::Write, platform::File::Disposition::CreateAlways)) {
        kLog.wide(271, L"CreateFileW failed:%lu path:%s", static_cast<unsigned long>(platform::lastError()),
                  path.c_str());
        return;
    }
    ConvertedText ansi;
    WideToAnsi(programFolder, ansi);
    const std::string bytes(ansi.narrow());
    std::size_t written = 0;
    if (!file.write(bytes.data(), bytes.size(), &written)) {
        kLog(280, "WriteFile failed:%lu", static_cast<unsigned long>(platform::lastError()));
    }
    file.close();
    kLog.wide(284, L"WriteFile OK Path:%s buff:%s dwWriteByte:%lu", path.c_str(), programFolder,
              static_cast<unsigned long>(written));
}
