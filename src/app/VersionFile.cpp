#include "app/VersionFile.h"

#include <cstring>
#include <string>

#include "app/AppLog.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/SystemUtil.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

constexpr const ModuleLog& kLog = kGameLauncherLog;
constexpr std::size_t kVersionBytes = 32;
// The file holds one short line; a first line longer than this is not a
// version file, and reading on would only let a stray large file eat memory.
constexpr std::size_t kMaxLineBytes = 1 << 20;

enum class LineRead { Line, NoLine, TooLong, Error };

// Reads the first line the way a text-mode read does: it ends at LF, and a
// CR directly before the LF belongs to the line end.
LineRead readFirstLine(platform::File& file, std::string& line) {
    char chunk[4096];
    bool any = false;
    for (;;) {
        const int64_t n = file.read(chunk, sizeof chunk);
        if (n < 0) return LineRead::Error;
        if (n == 0) break;
        any = true;
        const auto* lf = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(n)));
        if (lf != nullptr) {
            line.append(chunk, static_cast<std::size_t>(lf - chunk));
            break;
        }
        line.append(chunk, static_cast<std::size_t>(n));
        if (line.size() > kMaxLineBytes) return LineRead::TooLong;
    }
    if (!any) return LineRead::NoLine;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineBytes) return LineRead::TooLong;
    return LineRead::Line;
}

}  // namespace

int parseVersionLine(std::string_view line, char* version) {
    // The line is a C string to everything that reads it: a NUL ends it.
    const std::string text(line.substr(0, line.find('\0')));
    if (text.empty() || text.front() != '{' || text.back() != '}') {
        kLog(208, "prase version failed str:%s", text.c_str());
        return -3;
    }
    if (JsonNode* root = JsonParse(text.c_str())) {
        const uint32_t count = root->size();
        for (uint32_t i = 0; i < count; ++i) {
            const JsonNode* member = root->at(i);
            if (member == nullptr || member->name() != "version") continue;
            const std::string value = member->asString();
            const std::size_t n = platform::utf8PrefixLength(value, kVersionBytes - 1);
            std::memcpy(version, value.data(), n);
            version[n] = '\0';
            break;
        }
        delete root;
    }
    if (version[0] == '\0') {
        kLog(226, "find version failed str:%s", text.c_str());
        return -3;
    }
    return 0;
}

int praseVersionFile(const wchar_t* programFolder, char* version) {
    const wchar_t* folder = programFolder != nullptr ? programFolder : L"";
    // The path buffer holds 1,023 characters; nothing longer can name the
    // file, and the log shows what fitted.
    std::wstring path;
    if (!JoinPath(path, {folder, L"/", L"gamelauncher.db"}, kPathBufferChars)) {
        path = (std::wstring(folder) + L"/gamelauncher.db").substr(0, kPathBufferChars - 1);
        kLog.wide(188, L"File not exist path:%s", path.c_str());
        return -1;
    }
    if (!platform::pathExists(path)) {
        kLog.wide(188, L"File not exist path:%s", path.c_str());
        return -1;
    }
    platform::File file;
    if (!file.open(path, platform::File::Access::Read, platform::File::Disposition::OpenExisting)) {
        kLog.wide(194, L"open file failed path:%s", path.c_str());
        return -2;
    }
    std::string line;
    switch (readFirstLine(file, line)) {
        case LineRead::NoLine:
            return 0;
        case LineRead::Error:
            // Opened but unreadable is the same to the caller as unopenable.
            kLog.wide(194, L"open file failed path:%s", path.c_str());
            return -2;
        case LineRead::TooLong:
            kLog(208, "prase version failed str:%s", line.c_str());
            return -3;
        case LineRead::Line:
            break;
    }
    // The rest of the file is never looked at, so it is not read either.
    return parseVersionLine(line, version);
}
