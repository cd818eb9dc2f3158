// What both systems' engines take from the install record the same way.
#include "crash/CrashState.h"

#include <string>

#include "platform/text.h"

namespace crash::detail {

bool storeField(char* out, std::size_t capacity, std::string_view text) {
    if (text.size() >= capacity) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        out[i] = (c == '\t' || c == '\n' || c == '\r') ? '?' : c;
    }
    out[text.size()] = '\0';
    return true;
}

bool storeWide(char* out, std::size_t capacity, const wchar_t* text) {
    return storeField(out, capacity, text == nullptr ? std::string() : platform::wideToUtf8(text));
}

const wchar_t* takeInstallRecord(const InstallRecord* record) {
    if (record == nullptr || record->size != kInstallRecordSize) return L"install record missing or of the wrong size";
    if (record->appName == nullptr || record->appName[0] == L'\0') return L"application name missing";
    if (record->url == nullptr || record->url[0] == L'\0') return L"upload URL missing";
    if (record->senderFolder == nullptr || record->senderFolder[0] == L'\0') return L"sender folder missing";

    EngineState& st = g_state;
    st.fileCount.store(0, std::memory_order_relaxed);
    if (!storeWide(st.appName, sizeof st.appName, record->appName) ||
        !storeWide(st.appVersion, sizeof st.appVersion, record->appVersion) ||
        !storeWide(st.url, sizeof st.url, record->url) ||
        !storeWide(st.privacyUrl, sizeof st.privacyUrl, record->privacyPolicyUrl))
        return L"install record text too long";
    st.flags = record->flags;
    return nullptr;
}

}  // namespace crash::detail
