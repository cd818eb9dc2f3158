#include "service/KTUpgrade.h"

#include <curl/curl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>

#include "foundation/Json.h"
#include "foundation/SystemUtil.h"
#include "platform/random.h"
#include "platform/ini.h"
#include "platform/text.h"
#include "service/HttpManager.h"

namespace {

constexpr int kTimeoutSeconds = 10;
// The form body and the request URL are each bounded to 511 bytes; a longer
// one is cut there (never inside a UTF-8 character) and sent cut, and the
// reply is judged like any other. Only values the configuration or the caller
// made overlong can get there.
constexpr std::size_t kRequestBytes = 512;
// Every diagnostic message is bounded to 2,047 bytes and cut beyond.
constexpr std::size_t kMessageBytes = 2048;
constexpr std::size_t kLogChars = 4096;
constexpr const char* kNoAdapterCid = "00000000000000000000000000000000";
constexpr const char kAlphabet[] = "1234567890abcdefghigklmnopqrstuvwxyzABCDEFGHIGKLMNOPQRSTUVWXYZ";
static_assert(sizeof kAlphabet - 1 == 62);

std::mutex g_instanceLock;
std::atomic<KTUpgrade*> g_instance{nullptr};

// Copies `text` into `out` (capacity `size`), cut so that it fits with its
// terminator and never ends inside a UTF-8 character.
void copyBounded(char* out, std::size_t size, const char* text) {
    const std::string_view s(text != nullptr ? text : "");
    const std::size_t n = platform::utf8PrefixLength(s, size - 1);
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
}

void vformatBounded(char* out, std::size_t size, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0) {
        out[0] = '\0';
        return;
    }
    std::string full(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(full.data(), full.size(), format, args);
    full.resize(static_cast<std::size_t>(needed));
    copyBounded(out, size, full.c_str());
}

void formatBounded(char* out, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
void formatBounded(char* out, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vformatBounded(out, size, format, args);
    va_end(args);
}

// The nonce ties a reply to its request, so it comes from the system's
// random source: a clock-seeded generator gives the same characters to every
// check made in the same second, and anyone can compute them. A byte is
// taken only below the largest multiple of the range, so that every value is
// as likely as every other.
uint8_t randomBelow(unsigned range) {
    const unsigned limit = 256 - 256 % range;
    for (;;) {
        uint8_t byte = 0;
        // Without the source the nonce still works, only predictably.
        if (!platform::randomBytes(&byte, 1)) byte = static_cast<uint8_t>(std::rand());
        if (byte < limit) return static_cast<uint8_t>(byte % range);
    }
}

char pick() {
    return kAlphabet[randomBelow(62)];
}

bool equalsNoCase(const std::string& a, const char* b) {
    const std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

// Reads one value into `wide` (capacity `chars`) and converts it; `path` null
// means the path did not fit its bound and reads as a missing file.
void readProfile(const wchar_t* path, const wchar_t* section, const wchar_t* key, const wchar_t* def, wchar_t* wide,
                 uint32_t chars, ConvertedText& narrow) {
    platform::getPrivateProfileString(section, key, def, wide, chars, path);
    WideToAnsi(wide, narrow);
}

// "%s\%s" of the folder and the file, or empty when it would pass `maxChars`
// (a cut path could name another file).
// Empty when the path does not fit `capacity` characters with the terminator.
std::wstring profilePath(const wchar_t* folder, const wchar_t* file, std::size_t capacity) {
    std::wstring path;
    JoinPath(path, {folder, L"\\", file}, capacity);
    return path;
}

}  // namespace

CheckReply::CheckReply()
    : url{},
      ip{},
      ver{},
      rnd{},
      md5{},
      entries{{"url", url, sizeof url},
              {"ip", ip, sizeof ip},
              {"ver", ver, sizeof ver},
              {"rnd", rnd, sizeof rnd},
              {"md5", md5, sizeof md5}} {}

KTUpgrade::KTUpgrade(const wchar_t* gamePath, ErrorReportFn errorReport)
    : m_pfnErrorReport(errorReport),
      m_cid{},
      m_pGamePath(gamePath),
      m_qkey{},
      m_unid{},
      m_appid{},
      m_serverUrls{},
      m_bLoaded(false),
      m_pHttpManager(nullptr) {}

KTUpgrade::~KTUpgrade() {
    for (char*& url : m_serverUrls) {
        delete[] url;
        url = nullptr;
    }
    delete m_pHttpManager;
    m_pHttpManager = nullptr;
    KTUpgrade* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

KTUpgrade* getKTUpgrade(const wchar_t* gamePath, ErrorReportFn errorReport) {
    if (KTUpgrade* p = g_instance.load(std::memory_order_acquire)) return p;
    std::lock_guard<std::mutex> lock(g_instanceLock);
    if (KTUpgrade* p = g_instance.load(std::memory_order_acquire)) return p;
    auto* created = new (std::nothrow) KTUpgrade(gamePath, errorReport);
    g_instance.store(created, std::memory_order_release);
    return created;
}

bool KTUpgrade::loadConfig() {
    if (m_bLoaded) return true;
    if (m_pfnErrorReport == nullptr) return false;
    if (m_pGamePath == nullptr || m_pGamePath[0] == L'\0') {
        reportLog("m_pGamePath is NULL", 778);
        return false;
    }
    delete m_pHttpManager;
    m_pHttpManager = new (std::nothrow) HttpManager();
    if (m_pHttpManager == nullptr) {
        reportLog("m_pHttpManager is NULL", 786);
        return false;
    }

    ConvertedText narrow;
    {
        const std::wstring path = profilePath(m_pGamePath, L"Quillon.ini", kPathBufferChars);
        wchar_t value[128];
        readProfile(path.empty() ? nullptr : path.c_str(), L"CODE", L"CODE", L"", value, 128, narrow);
        if (value[0] != L'\0') copyBounded(m_qkey, sizeof m_qkey, narrow.narrow());
    }
    {
        const std::wstring path = profilePath(m_pGamePath, L"launcher.ini", kMaxPathChars);
        for (int n = 0; n < 4; ++n) {
            wchar_t key[64];
            std::swprintf(key, 64, L"%ls%d", L"SERVER_UPGRADE_", n);
            wchar_t value[1024];
            readProfile(path.empty() ? nullptr : path.c_str(), L"UPGRADE", key, L"", value, 1024, narrow);
            if (value[0] == L'\0') continue;
            delete[] m_serverUrls[n];
            m_serverUrls[n] = new (std::nothrow) char[1024]();
            if (m_serverUrls[n] != nullptr) copyBounded(m_serverUrls[n], 1024, narrow.narrow());
        }
    }
    {
        const std::wstring path = profilePath(m_pGamePath, L"union.db", kPathBufferChars);
        const wchar_t* p = path.empty() ? nullptr : path.c_str();
        wchar_t value[64];
        readProfile(p, L"UNION", L"ID", L"0", value, 64, narrow);
        copyBounded(m_unid, sizeof m_unid, narrow.narrow());
        readProfile(p, L"UNION", L"APPID", L"0", value, 64, narrow);
        copyBounded(m_appid, sizeof m_appid, narrow.narrow());
    }
    m_bLoaded = true;
    return true;
}

void KTUpgrade::reportLog(const char* message, int number) {
    if (m_pfnErrorReport == nullptr) return;
    ConvertedText wide;
    AnsiToWide(message, wide);
    wchar_t prefix[64];
    std::swprintf(prefix, 64, L"[%ls:%d]", L"KTUpgrade", number);
    std::wstring line = std::wstring(prefix) + wide.wide();
    if (line.size() > kLogChars - 1) line.resize(kLogChars - 1);
    m_pfnErrorReport(line.c_str());
}

void KTUpgrade::logFormat(int number, const char* format, ...) {
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    vformatBounded(message, sizeof message, format, args);
    va_end(args);
    reportLog(message, number);
}

void KTUpgrade::logReply(const std::string& reply, int number) {
    if (reply.size() > kMessageBytes) {
        char message[kMessageBytes];
        copyBounded(message, 2001, reply.c_str());
        reportLog(message, number);
    } else {
        logFormat(number, "BackStr Invalid:%s", reply.c_str());
    }
}

void KTUpgrade::fillCid() {
    if (m_cid[0] != '\0') return;
    if (!getMacHex(m_cid)) copyBounded(m_cid, sizeof m_cid, kNoAdapterCid);
}

int KTUpgrade::postToSlot(int slot, const char* path, const char* body, std::string& reply, int* status,
                          int infoNumber) {
    const char* base = m_serverUrls[slot];
    char url[kRequestBytes];
    formatBounded(url, sizeof url, "%s%s", base != nullptr ? base : "", path);
    logFormat(infoNumber, "POST INFO: %s?%s", url, body);
    // Without a base URL the path alone would be taken for a host name and
    // looked up; the slot fails as libcurl fails an unusable URL instead.
    if (base == nullptr) return CURLE_URL_MALFORMAT;
    if (m_termination.stop_requested()) return CURLE_ABORTED_BY_CALLBACK;
    return m_pHttpManager->postForm(url, body, reply, kTimeoutSeconds, status, &m_termination);
}

int KTUpgrade::checkLauncherUpgrade(const char* version, char* url, char* ip, char* ver, char* md5) {
    return checkAppUpgrade(version, true, url, ip, ver, md5);
}

int KTUpgrade::checkAppUpgrade(const char* version, bool launcher, char* url, char* ip, char* ver, char* md5) {
    if (!loadConfig()) return -1;
    if (version == nullptr) version = "";
    char nonce[32] = {};
    makeRandomString(nonce);
    fillCid();
    char body[kRequestBytes];
    formatBounded(body, sizeof body,
                  launcher ? "rnd=%s&app=launcher&ver=%s&cid=%s&unid=%s&qkey=%s"
                           : "rnd=%s&app=gamelauncher&ver=%s&cid=%s&unid=%s&qkey=%s",
                  nonce, version, m_cid, m_unid, m_qkey);

    for (int n = 0; n < 4; ++n) {
        std::string reply;
        int status = 0;
        const int res = postToSlot(n, "launcher/check", body, reply, &status, 718);
        if (res != 0 || (status != 200 && status != 206)) {
            logFormat(724, "POST FAILE: postRes:%d  postResCode:%d", res, status);
            continue;
        }
        if (reply.empty() || reply.front() != '{' || reply.back() != '}') {
            logReply(reply, 734);
            continue;
        }
        CheckReply record;
        // Braces outside but no valid JSON inside: the attempt fails like any
        // other unusable reply. The check also bounds the nesting.
        JsonNode* root = JsonIsValid(reply.c_str()) ? JsonParse(reply.c_str()) : nullptr;
        if (root == nullptr) {
            logReply(reply, 734);
            continue;
        }
        parseCheckReply(*root, record);
        delete root;
        if (record.rndCut || std::strcmp(record.rnd, nonce) != 0) {
            logFormat(745, "Rnd different: %s  %s", record.rnd, nonce);
            continue;
        }
        // Only now: a reply that is not ours, or a flood of made-up names,
        // must not be able to fill the log.
        for (const std::string& name : record.unknownKeys) logFormat(914, "unknown json key:%s", name.c_str());
        if (record.ver[0] == '\0' || record.ip[0] == '\0') {
            logFormat(752, "No version Or no Ip: %s  %s", record.ver, record.ip);
            continue;
        }
        // The caller's url buffer takes at most 999 bytes; a longer url is
        // cut there (a cut url fails the download later, visibly).
        copyBounded(url, 1000, record.url);
        std::strcpy(ip, record.ip);
        std::strcpy(ver, record.ver);
        std::strcpy(md5, record.md5);
        return std::strcmp(version, record.ver) == 0 ? 0 : 1;
    }
    reportLog("TRY Finished buf failed", 764);
    return -2;
}

int KTUpgrade::DataReport_common(uint64_t user, int sid, const char* ver, const char* event, const char* ext) {
    if (!loadConfig()) return -1;
    if (event == nullptr || event[0] == '\0') return -3;
    fillCid();
    char body[kRequestBytes];
    formatBounded(body, sizeof body, "cid=%s&unid=%s&appid=%s&event=%s&sid=%d&ver=%s&user=%llu&ext=%s", m_cid, m_unid,
                  m_appid, event, sid, ver != nullptr ? ver : "", static_cast<unsigned long long>(user),
                  ext != nullptr ? ext : "");

    for (int n = 0; n < 4; ++n) {
        std::string reply;
        int status = 0;
        const int res = postToSlot(n, "log/startgame", body, reply, &status, 461);
        if (res != 0 || (status != 200 && status != 206)) {
            logFormat(467, "HTTP POST FAILE: postRes:%d  postResCode:%d", res, status);
            continue;
        }
        if (!reply.empty() && reply.front() == '{' && reply.back() == '}') {
            return equalsNoCase(reply, "{\"status\":1}") ? 0 : 1;
        }
        logReply(reply, 478);
    }
    reportLog("TRY Finished buf failed", 486);
    return -2;
}

void KTUpgrade::parseCheckReply(JsonNode& node, CheckReply& record) {
    // Depth first and in document order, like a recursive walk, but with a
    // stack of our own: the nesting of a reply is the server's to choose.
    struct Level {
        JsonNode node;
        uint32_t next;
        uint32_t count;
    };
    const JsonType rootType = node.type();
    if (rootType != JsonType::Object && rootType != JsonType::Array) return;
    std::vector<Level> stack;
    stack.push_back({node, 0, 0});
    stack.back().count = stack.back().node.size();
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next >= level.count) {
            stack.pop_back();
            continue;
        }
        const JsonNode* at = level.node.at(level.next++);
        if (at == nullptr) continue;
        JsonNode child = *at;
        const JsonType type = child.type();
        if (type == JsonType::Object || type == JsonType::Array) {
            const uint32_t count = child.size();
            if (count > 0) {
                stack.push_back({std::move(child), 0, count});
                continue;
            }
        }
        const std::string name = child.name();
        static constexpr int kMatchOrder[] = {0, 4, 1, 2, 3};  // url, md5, ip, ver, rnd
        static constexpr int kRndEntry = 3;
        bool matched = false;
        for (int k : kMatchOrder) {
            CheckReply::Entry& e = record.entries[k];
            if (name == e.key) {
                const std::string value = child.asString();
                // A cut rnd, or one with a NUL inside, could compare equal to
                // the nonce with anything after it.
                if (k == kRndEntry) record.rndCut = value.size() >= e.size || value.find('\0') != std::string::npos;
                copyBounded(e.value, e.size, value.c_str());
                matched = true;
                break;
            }
        }
        if (!matched && record.unknownKeys.size() < CheckReply::kLoggedUnknownKeys) {
            record.unknownKeys.push_back(name.substr(0, CheckReply::kUnknownKeyBytes));
        }
    }
}

void makeRandomStringFrom(const char* macHex, char* out) {
    if (macHex != nullptr) {
        char buf[16] = {};
        std::memcpy(buf, macHex, 12);
        buf[12] = pick();
        buf[13] = pick();
        buf[14] = pick();
        buf[15] = '\0';
        std::memcpy(out, buf, 16);
        return;
    }
    int length;
    do {
        length = randomBelow(16);
    } while (length < 8);
    for (int i = 0; i < length; ++i) out[i] = pick();
    out[length] = '\0';
}

void KTUpgrade::makeRandomString(char* out) {
    char mac[16] = {};
    const bool haveMac = getMacHex(mac);
    makeRandomStringFrom(haveMac ? mac : nullptr, out);
}

bool macHexFromAdapters(const std::vector<platform::NetworkAdapter>& adapters, char* out) {
    for (const auto& a : adapters) {
        if (a.loopback || a.address.size() != 6) continue;
        bool allZero = true;
        for (uint8_t b : a.address) allZero = allZero && b == 0;
        if (allZero) continue;
        std::memset(out, 0, 16);
        for (std::size_t i = 0; i < 6; ++i) std::snprintf(out + 2 * i, 3, "%02x", a.address[i]);
        return true;
    }
    return false;
}

bool KTUpgrade::getMacHex(char* out) {
    std::vector<platform::NetworkAdapter> adapters;
    if (!platform::listNetworkAdapters(adapters)) return false;
    return macHexFromAdapters(adapters, out);
}
