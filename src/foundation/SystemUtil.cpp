#include "foundation/SystemUtil.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text.h"

bool GetCurrentExePath(wchar_t* out, uint32_t capacity) {
    if (out == nullptr || capacity < 2) return false;
    std::wstring module;
    if (!platform::moduleFileName(module) || module.empty()) return false;
    if (module.size() >= kMaxPathChars) {
        platform::setLastError(ENAMETOOLONG);
        return false;
    }
    std::size_t len = module.size();
    while (len > 0 && !platform::isSeparator(module[len - 1])) --len;
    if (len == 0) return false;
    --len;  // drop the separator itself
    if (len >= capacity) {
        platform::setLastError(ENAMETOOLONG);
        return false;
    }
    std::wmemcpy(out, module.data(), len);
    out[len] = L'\0';
    return true;
}

void CreateFolderPath(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') return;
    const std::wstring_view in(path);
    const bool needsSlash = !platform::isSeparator(in.back());
    if (in.size() + (needsSlash ? 1 : 0) >= kMaxPathChars) {
        platform::setLastError(ENAMETOOLONG);
        return;
    }
    std::wstring result;
    result.reserve(kMaxPathChars);
    if (platform::isSeparator(in.front())) result.push_back(L'/');
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t next = pos;
        while (next < in.size() && !platform::isSeparator(in[next])) ++next;
        if (next > pos) {
            result.append(in.substr(pos, next - pos));
            result.push_back(L'/');
            if (!platform::pathExists(result)) platform::createDirectory(result);
        }
        pos = next + 1;
    }
}

void ConvertedText::clear() {
    delete[] m_narrow;
    delete[] m_wide;
    m_narrow = nullptr;
    m_wide = nullptr;
}

namespace {

char* copyNarrow(const std::string& s) {
    auto* buf = new char[s.size() + 2]();
    std::memcpy(buf, s.data(), s.size());
    return buf;
}

}  // namespace

void WideToAnsi(const wchar_t* text, ConvertedText& holder) {
    delete[] holder.m_narrow;
    holder.m_narrow = copyNarrow(platform::wideToAnsi(text != nullptr ? text : L""));
}

void WideToUtf8(const wchar_t* text, ConvertedText& holder) {
    delete[] holder.m_narrow;
    holder.m_narrow = copyNarrow(platform::wideToUtf8(text != nullptr ? text : L""));
}

void AnsiToWide(const char* text, ConvertedText& holder) {
    const std::wstring w = platform::ansiToWide(text != nullptr ? text : "");
    delete[] holder.m_wide;
    holder.m_wide = new wchar_t[w.size() + 2]();
    std::wmemcpy(holder.m_wide, w.data(), w.size());
}

bool JoinPath(std::wstring& out, std::initializer_list<std::wstring_view> parts, std::size_t capacity) {
    std::size_t total = 0;
    for (std::wstring_view part : parts) total += part.size();
    if (capacity == 0 || total > capacity - 1) return false;
    std::wstring joined;
    joined.reserve(total);
    for (std::wstring_view part : parts) joined.append(part);
    out = std::move(joined);
    return true;
}

void CopyToField(char* field, std::size_t size, const char* text) {
    if (field == nullptr || size == 0) return;
    std::memset(field, 0, size);
    if (text == nullptr) return;
    std::memcpy(field, text, strnlen(text, size - 1));
}
