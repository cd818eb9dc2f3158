#include "app/GamePathRecord.h"

#include <cerrno>
#include <string>

#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/folders.h"

void WriteGamePathRecord(const wchar_t* programFolder) {
    std::wstring appData;
    if (!platform::roamingAppDataFolder(appData)) {
        LogPrint("[%s:%d]SHGetSpecialFolderPathW failed:%lu", "GameLauncher", 258,
                 static_cast<unsigned long>(platform::lastError()));
        return;
    }
    const std::wstring folder = appData + L"/Keltora/morvel3/" + L"GamePath/";
    const std::wstring path = folder + L"GamePath.rcd";
    // Both paths are bounded to 259 characters. Rather than write the record
    // somewhere a cut path happens to point, a longer one is refused like a
    // file that cannot be created.
    if (path.size() >= kMaxPathChars) {
        LogPrintW(L"[%s:%d]CreateFileW failed:%lu path:%s", L"GameLauncher", 271,
                  static_cast<unsigned long>(ENAMETOOLONG), path.c_str());
        return;
    }
    CreateFolderPath(folder.c_str());

    platform::File file;
    if (!file.open(path, platform::File::Access::Write, platform::File::Disposition::CreateAlways)) {
        LogPrintW(L"[%s:%d]CreateFileW failed:%lu path:%s", L"GameLauncher", 271,
                  static_cast<unsigned long>(platform::lastError()), path.c_str());
        return;
    }
    ConvertedText ansi;
    WideToAnsi(programFolder, ansi);
    const std::string bytes(ansi.narrow());
    std::size_t written = 0;
    if (!file.write(bytes.data(), bytes.size(), &written)) {
        LogPrint("[%s:%d]WriteFile failed:%lu", "GameLauncher", 280, static_cast<unsigned long>(platform::lastError()));
    }
    file.close();
    LogPrintW(L"[%s:%d]WriteFile OK Path:%s buff:%s dwWriteByte:%lu", L"GameLauncher", 284, path.c_str(), programFolder,
              static_cast<unsigned long>(written));
}
