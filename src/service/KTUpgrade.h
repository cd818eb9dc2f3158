// The service client: asks the maker's update service which launcher version
// is current and reports named events to it. One instance per process, made by
// the first getKTUpgrade call.
//
// Threads: created and first used (the start event, which also reads the
// configuration) on the main thread before any worker exists; afterwards the
// upgrade worker calls it, one request at a time. There is no lock.
//
// Configuration: three INI files in the program folder, read once per run on
// the first request ("Quillon.ini" [CODE] CODE; "launcher.ini" [UPGRADE]
// SERVER_UPGRADE_0..3, the base URLs of attempts 0 to 3, each ending in "/";
// "union.db" [UNION] ID and APPID, default "0"). Later changes to the files
// are not seen.
//
// Every request tries the four server slots in order and stops at the first
// acceptable reply; each attempt blocks for at most 10 s, so a request blocks
// its thread for at most about 40 s (less once the termination token is
// raised).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/netinfo.h"

class HttpManager;
class JsonNode;

// Receives one complete diagnostic line; the result is ignored.
using ErrorReportFn = int (*)(const wchar_t* text);

// The reply of launcher/check as the JSON walk fills it. Each value is cut to
// its field (size less one byte) when the server sends more.
struct CheckReply {
    struct Entry {
        const char* key;
        char* value;
        std::size_t size;
    };

    CheckReply();
    CheckReply(const CheckReply&) = delete;
    CheckReply& operator=(const CheckReply&) = delete;

    char url[1024];
    char ip[32];
    char ver[32];
    char rnd[16];
    char md5[64];
    Entry entries[5];  // url, ip, ver, rnd, md5
    // The reply's last rnd is not the text in `rnd` (it did not fit, or held a
    // NUL): it is not the nonce, whatever its start.
    bool rndCut = false;
    // Names of members with another name, the first kLoggedUnknownKeys of
    // them (each cut to kUnknownKeyBytes); they are logged only once the
    // reply has been accepted, so a reply for another request logs none.
    static constexpr std::size_t kLoggedUnknownKeys = 8;
    static constexpr std::size_t kUnknownKeyBytes = 2048;
    std::vector<std::string> unknownKeys;
};

class KTUpgrade {
public:
    KTUpgrade(const wchar_t* gamePath, ErrorReportFn errorReport);
    ~KTUpgrade();
    KTUpgrade(const KTUpgrade&) = delete;
    KTUpgrade& operator=(const KTUpgrade&) = delete;

    // Reads the configuration the first time; true once it has been read.
    // False (and read again next time) without a callback, without a program
    // folder, or when the POST object cannot be made.
    bool loadConfig();

    // Writes "[KTUpgrade:<number>]<message>" through the callback, cut to
    // 4,095 characters.
    void reportLog(const char* message, int number);

    // The update check for the launcher. See checkAppUpgrade.
    int checkLauncherUpgrade(const char* version, char* url, char* ip, char* ver, char* md5);

    // Posts the check to launcher/check of each server in turn. Returns 0 when
    // a server answered with the same ver as `version`, 1 when with another
    // one (outputs filled: url up to 999 bytes into a 1024-byte buffer, ip and
    // ver into 32 bytes, md5 into 64), -1 when the configuration cannot be
    // loaded, -2 when all four attempts failed (outputs untouched).
    int checkAppUpgrade(const char* version, bool launcher, char* url, char* ip, char* ver, char* md5);

    // Posts one event to log/startgame of each server in turn. Returns 0 when
    // a server replied {"status":1} (letter case ignored), 1 for another JSON
    // object text, -1 when the configuration cannot be loaded, -2 when all
    // four attempts failed, -3 (without any transfer) for a null or empty
    // event name.
    int DataReport_common(uint64_t user, int sid, const char* ver, const char* event, const char* ext);

    // Fills `record` from the members of `node`, at any depth. Members with
    // another name are ignored; the first few names are kept in the record
    // for the caller to log. Logs nothing itself.
    void parseCheckReply(JsonNode& node, CheckReply& record);

    // The nonce: the adapter address (12 hex digits) and three random
    // characters, or 8 to 15 random characters without an adapter. `out`
    // holds at least 16 bytes.
    static void makeRandomString(char* out);
    // The first non-loopback adapter's 6-byte hardware address as 12
    // lowercase hex digits into the 16-byte `out`; false (out untouched)
    // when there is none.
    static bool getMacHex(char* out);

    // The owner's termination request: once raised it ends the transfer
    // under way and makes the remaining attempts fail at once (libcurl code
    // 42, aborted). Set it while no request runs; without one (the default)
    // requests run to their time-outs.
    void setTerminationToken(std::stop_token token) { m_termination = std::move(token); }

private:
    void logFormat(int number, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void logReply(const std::string& reply, int number);
    void fillCid();
    // One POST to slot `slot`'s base URL + `path`; an empty slot fails like a
    // transfer error without reaching the network.
    int postToSlot(int slot, const char* path, const char* body, std::string& reply, int* status, int infoNumber);

    ErrorReportFn m_pfnErrorReport;
    char m_cid[64];
    const wchar_t* m_pGamePath;
    char m_qkey[128];
    char m_unid[64];
    char m_appid[128];
    char* m_serverUrls[8];
    bool m_bLoaded;
    HttpManager* m_pHttpManager;
    std::stop_token m_termination;
};

// The process-wide instance: the first call creates it from its arguments
// (the folder text is kept by pointer, not copied, and must live until the
// instance is deleted); later calls return it and ignore theirs. Null only
// when it cannot be allocated. Deleting the instance forgets it, so a later
// call makes a new one.
KTUpgrade* getKTUpgrade(const wchar_t* gamePath, ErrorReportFn errorReport);

// The alphabet and the selection behind makeRandomString and getMacHex, apart
// from the system: `macHex` is getMacHex's text or null.
// makeRandomStringFrom draws from the system's random source.
void makeRandomStringFrom(const char* macHex, char* out);
bool macHexFromAdapters(const std::vector<platform::NetworkAdapter>& adapters, char* out);
