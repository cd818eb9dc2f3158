// The service client against loopback servers that record the exact bytes of
// every request and answer what each test scripts.
#include "service/KTUpgrade.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <httplib.h>
#include <net/if.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sched.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Json.h"
#include "foundation/Log.h"
#include "platform/text.h"
#include "service/HttpManager.h"
#include "support/LogReader.h"
#include "support/ScriptedServer.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

using testsupport::ScriptedServer;

std::string httpReply(int status, const std::string& body, const std::string& extraHeaders = "") {
    return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

std::string bodyOf(const std::string& request) {
    const std::size_t at = request.find("\r\n\r\n");
    return at == std::string::npos ? "" : request.substr(at + 4);
}

// The value of form field `name` in a body that is not percent-encoded.
std::string formField(const std::string& body, const std::string& name) {
    std::size_t pos = 0;
    while (pos <= body.size()) {
        std::size_t amp = body.find('&', pos);
        if (amp == std::string::npos) amp = body.size();
        const std::string pair = body.substr(pos, amp - pos);
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        pos = amp + 1;
    }
    return "";
}

std::string nonceOf(const std::string& request) {
    return formField(bodyOf(request), "rnd");
}

constexpr const char* kUrl = "http://127.0.0.1:9/package.zip";
constexpr const char* kIp = "127.0.0.1";
constexpr const char* kMd5 = "0123456789abcdef0123456789abcdef";

std::string goodReply(const std::string& nonce, const std::string& ver = "1.0.0.1") {
    return std::string("{\"url\":\"") + kUrl + "\",\"ip\":\"" + kIp + "\",\"ver\":\"" + ver + "\",\"rnd\":\"" + nonce +
           "\",\"md5\":\"" + kMd5 + "\"}";
}

// A server that answers every check with a correct reply and every report
// with {"status":1}.
ScriptedServer::Script goodService(const std::string& ver = "1.0.0.1") {
    return [ver](const std::string& request) {
        if (request.rfind("POST /log/startgame", 0) == 0) return httpReply(200, "{\"status\":1}");
        return httpReply(200, goodReply(nonceOf(request), ver));
    };
}

ScriptedServer::Script answer(int status, const std::string& body) {
    return [status, body](const std::string&) { return httpReply(status, body); };
}

// ---------------------------------------------------------------------------
// What the client sends through its error callback, one entry per line.
std::mutex g_linesLock;
std::vector<std::string> g_lines;

int captureLine(const wchar_t* text) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.push_back(platform::wideToUtf8(text));
    return 0;
}

std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(g_linesLock);
    return g_lines;
}

// Lines whose number is one of `numbers`.
std::vector<std::string> linesNumbered(std::initializer_list<int> numbers) {
    std::vector<std::string> out;
    for (const auto& l : lines()) {
        for (int n : numbers) {
            if (l.rfind("[KTUpgrade:" + std::to_string(n) + "]", 0) == 0) out.push_back(l);
        }
    }
    return out;
}

std::string machineCid() {
    char mac[16] = {};
    return KTUpgrade::getMacHex(mac) ? std::string(mac) : std::string(32, '0');
}

const std::regex kNonce("[0-9a-ik-zA-IK-Z]{8,15}");

struct Outputs {
    // Exact-size heap buffers, so that a write past any of them is caught.
    std::vector<char> url = std::vector<char>(1024, 'Z');
    std::vector<char> ip = std::vector<char>(32, 'Z');
    std::vector<char> ver = std::vector<char>(32, 'Z');
    std::vector<char> md5 = std::vector<char>(64, 'Z');
    Outputs() { url.back() = ip.back() = ver.back() = md5.back() = '\0'; }
    static bool untouched(const std::vector<char>& v) {
        return std::all_of(v.begin(), v.end() - 1, [](char c) { return c == 'Z'; });
    }
    bool allUntouched() const { return untouched(url) && untouched(ip) && untouched(ver) && untouched(md5); }
};

class ServiceClient : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        folder = home.root() / "game";
        fs::create_directories(folder);
        folderText = folder.wstring();
    }

    void writeIni(const std::string& name, const std::string& content) {
        testsupport::writeFile(folder / name, content);
    }
    void servers(const std::map<int, std::string>& slots) {
        std::string ini = "[UPGRADE]\r\n";
        for (const auto& [n, url] : slots) ini += "SERVER_UPGRADE_" + std::to_string(n) + "=" + url + "\r\n";
        writeIni("launcher.ini", ini);
    }
    KTUpgrade& client() {
        if (!kt) kt = std::make_unique<KTUpgrade>(folderText.c_str(), captureLine);
        return *kt;
    }
    int check(const char* version, Outputs& out, bool launcher = true) {
        return launcher ? client().checkLauncherUpgrade(version, out.url.data(), out.ip.data(), out.ver.data(),
                                                        out.md5.data())
                        : client().checkAppUpgrade(version, false, out.url.data(), out.ip.data(), out.ver.data(),
                                                   out.md5.data());
    }
    int report(const char* event, const char* ver = "1.0.0.15", uint64_t user = 0, int sid = 0, const char* ext = "") {
        return client().DataReport_common(user, sid, ver, event, ext);
    }

    testsupport::TempHome home;
    fs::path folder;
    std::wstring folderText;
    std::unique_ptr<KTUpgrade> kt;  // last: it points into folderText
};

// ---------------------------------------------------------------------------

TEST_F(ServiceClient, CheckRequestBytes) {
    struct Case {
        const char* what;
        const char* quillon;  // null: no file
        const char* unionDb;  // null: no file
        bool launcher;
        std::string tail;  // the body after the nonce
    };
    const std::string cid = machineCid();
    const Case cases[] = {
        {"no Quillon.ini, no union.db", nullptr, nullptr, true,
         "&app=launcher&ver=1.0.0.1&cid=" + cid + "&unid=0&qkey="},
        {"all configured", "[CODE]\r\nCODE=Q-42\r\n", "[UNION]\r\nID=1234\r\nAPPID=77\r\n", true,
         "&app=launcher&ver=1.0.0.1&cid=" + cid + "&unid=1234&qkey=Q-42"},
        {"empty CODE", "[CODE]\r\nCODE=\r\n", "[UNION]\r\nID=5\r\n", true,
         "&app=launcher&ver=1.0.0.1&cid=" + cid + "&unid=5&qkey="},
        {"the other selector", nullptr, nullptr, false, "&app=gamelauncher&ver=1.0.0.1&cid=" + cid + "&unid=0&qkey="},
    };
    for (const auto& c : cases) {
        fs::remove(folder / "Quillon.ini");
        fs::remove(folder / "union.db");
        if (c.quillon != nullptr) writeIni("Quillon.ini", c.quillon);
        if (c.unionDb != nullptr) writeIni("union.db", c.unionDb);
        ScriptedServer server(goodService());
        servers({{0, server.base()}});
        kt.reset();
        Outputs out;
        EXPECT_EQ(check("1.0.0.1", out, c.launcher), 0) << c.what;
        const auto reqs = server.requests();
        ASSERT_EQ(reqs.size(), 1u) << c.what;
        const std::string nonce = nonceOf(reqs[0]);
        EXPECT_TRUE(std::regex_match(nonce, kNonce)) << nonce;
        if (cid.size() == 12) {
            EXPECT_EQ(nonce.substr(0, 12), cid);
        }
        const std::string body = "rnd=" + nonce + c.tail;
        EXPECT_EQ(reqs[0], "POST /launcher/check HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                               "\r\nAccept: */*\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + body)
            << c.what;
    }
}

TEST_F(ServiceClient, ReportRequestBytes) {
    const std::string cid = machineCid();
    struct Case {
        const char* unionDb;
        uint64_t user;
        int sid;
        const char* ver;
        const char* event;
        const char* ext;
        std::string body;
    };
    const Case cases[] = {
        {nullptr, 0, 0, "1.0.0.15", "GLHR_STR", "",
         "cid=" + cid + "&unid=0&appid=0&event=GLHR_STR&sid=0&ver=1.0.0.15&user=0&ext="},
        {"[UNION]\nID=9\nAPPID=3\n", 18446744073709551615ull, -5, "NotExist", "LHR_CHK", "a b",
         "cid=" + cid + "&unid=9&appid=3&event=LHR_CHK&sid=-5&ver=NotExist&user=18446744073709551615&ext=a b"},
    };
    for (const auto& c : cases) {
        fs::remove(folder / "union.db");
        if (c.unionDb != nullptr) writeIni("union.db", c.unionDb);
        ScriptedServer server(goodService());
        servers({{0, server.base()}});
        kt.reset();
        EXPECT_EQ(report(c.event, c.ver, c.user, c.sid, c.ext), 0);
        const auto reqs = server.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0], "POST /log/startgame HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                               "\r\nAccept: */*\r\nContent-Length: " + std::to_string(c.body.size()) +
                               "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + c.body);
    }
}

TEST_F(ServiceClient, OnlySlotTwoConfigured) {
    ScriptedServer server(goodService());
    servers({{2, server.base()}});
    Outputs out;
    ASSERT_EQ(check("1.0.0.1", out), 0);
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string body = bodyOf(server.requests()[0]);
    const std::vector<std::string> expected = {
        "[KTUpgrade:718]POST INFO: launcher/check?" + body,
        "[KTUpgrade:724]POST FAILE: postRes:3  postResCode:0",
        "[KTUpgrade:718]POST INFO: launcher/check?" + body,
        "[KTUpgrade:724]POST FAILE: postRes:3  postResCode:0",
        "[KTUpgrade:718]POST INFO: " + server.base() + "launcher/check?" + body,
    };
    EXPECT_EQ(lines(), expected);

    // The report walks the same slots; the check already filled the cid.
    {
        std::lock_guard<std::mutex> lock(g_linesLock);
        g_lines.clear();
    }
    EXPECT_EQ(report("LHR_CHK"), 0);
    ASSERT_EQ(server.requests().size(), 2u);
    const std::string reportBody = bodyOf(server.requests()[1]);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[KTUpgrade:461]POST INFO: log/startgame?" + reportBody,
                           "[KTUpgrade:467]HTTP POST FAILE: postRes:3  postResCode:0",
                           "[KTUpgrade:461]POST INFO: log/startgame?" + reportBody,
                           "[KTUpgrade:467]HTTP POST FAILE: postRes:3  postResCode:0",
                           "[KTUpgrade:461]POST INFO: " + server.base() + "log/startgame?" + reportBody,
                       }));
}

TEST_F(ServiceClient, PlainTextInSlotZeroThenGoodReplyInSlotOne) {
    ScriptedServer plain(answer(200, "hello there"));
    ScriptedServer good(goodService());
    servers({{0, plain.base()}, {1, good.base()}});
    Outputs out;
    EXPECT_EQ(check("1.0.0.1", out), 0);
    EXPECT_EQ(report("GLHR_STR"), 0);
    EXPECT_EQ(linesNumbered({734, 478, 745, 752}),
              (std::vector<std::string>{"[KTUpgrade:734]BackStr Invalid:hello there",
                                        "[KTUpgrade:478]BackStr Invalid:hello there"}));
    EXPECT_EQ(plain.requests().size(), 2u);
    EXPECT_EQ(good.requests().size(), 2u);
    // Slot 1 was judged on its own reply and nonce.
    EXPECT_EQ(std::string(out.ver.data()), "1.0.0.1");
}

TEST_F(ServiceClient, StatusCodes) {
    struct Case {
        int status;
        bool accepted;
    };
    const Case cases[] = {{200, true}, {206, true}, {404, false}, {500, false}, {204, false}, {301, false}};
    for (const auto& c : cases) {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        ScriptedServer first([&c](const std::string& request) {
            if (request.rfind("POST /log/startgame", 0) == 0) return httpReply(c.status, "{\"status\":1}");
            return httpReply(c.status, goodReply(nonceOf(request)));
        });
        ScriptedServer second(goodService());
        servers({{0, first.base()}, {1, second.base()}});
        kt.reset();
        Outputs out;
        EXPECT_EQ(check("1.0.0.1", out), 0) << c.status;
        EXPECT_EQ(report("GLHR_STR"), 0) << c.status;
        EXPECT_EQ(second.requests().size(), c.accepted ? 0u : 2u) << c.status;
        const auto failures = linesNumbered({724, 467});
        if (c.accepted) {
            EXPECT_TRUE(failures.empty()) << c.status;
        } else {
            const std::string code = std::to_string(c.status);
            EXPECT_EQ(failures,
                      (std::vector<std::string>{"[KTUpgrade:724]POST FAILE: postRes:0  postResCode:" + code,
                                                "[KTUpgrade:467]HTTP POST FAILE: postRes:0  postResCode:" + code}));
        }
    }
}

TEST_F(ServiceClient, CheckReplies) {
    using Make = std::function<std::string(const std::string& nonce)>;
    struct Case {
        const char* what;
        Make reply;
        const char* version;
        int result;
        std::vector<std::string> lines;  // with a "%N" for the nonce
        const char* outVer = "1.0.0.1";
    };
    const Case cases[] = {
        {"same version", [](const std::string& n) { return goodReply(n); }, "1.0.0.1", 0, {}},
        {"other version", [](const std::string& n) { return goodReply(n, "1.0.0.2"); }, "1.0.0.1", 1, {}, "1.0.0.2"},
        {"text equality only",
         [](const std::string& n) { return goodReply(n, "1.0.0.01"); },
         "1.0.0.1",
         1,
         {},
         "1.0.0.01"},
        {"rnd mismatch",
         [](const std::string&) { return goodReply("WRONG"); },
         "1.0.0.1",
         -2,
         {"[KTUpgrade:745]Rnd different: WRONG  %N"}},
        // The field takes 15 characters: the nonce and a suffix cut there
        // must not pass for the nonce.
        {"rnd with a suffix",
         [](const std::string& n) { return goodReply(n + std::string(20, 'X')); },
         "1.0.0.1",
         -2,
         {"[KTUpgrade:745]Rnd different: %S  %N"}},
        // A NUL ends the text the field holds, not the member: what follows
        // it is a suffix all the same.
        {"rnd with a NUL and a suffix",
         [](const std::string& n) { return goodReply(n + "\\u0000X"); },
         "1.0.0.1",
         -2,
         {"[KTUpgrade:745]Rnd different: %N  %N"}},
        {"the last rnd counts",
         [](const std::string& n) { return goodReply(n).insert(1, "\"rnd\":\"" + n + std::string(20, 'X') + "\","); },
         "1.0.0.1",
         0,
         {}},
        {"no rnd",
         [](const std::string&) { return R"({"ver":"1","ip":"127.0.0.1"})"; },
         "1",
         -2,
         {"[KTUpgrade:745]Rnd different:   %N"}},
        {"no ver",
         [](const std::string& n) { return R"({"ip":"127.0.0.1","rnd":")" + n + "\"}"; },
         "1",
         -2,
         {"[KTUpgrade:752]No version Or no Ip:   127.0.0.1"}},
        {"empty ip",
         [](const std::string& n) { return R"({"ver":"1","ip":"","rnd":")" + n + "\"}"; },
         "1",
         -2,
         {"[KTUpgrade:752]No version Or no Ip: 1  "}},
        {"members at any depth",
         [](const std::string& n) {
             return R"({"data":{"url":"http://127.0.0.1:9/package.zip","ip":"127.0.0.1"},"meta":[{"ver":"1.0.0.1","rnd":")" +
                    n + R"("},{"x":{"md5":"0123456789abcdef0123456789abcdef"}}]})";
         },
         "1.0.0.1",
         0,
         {}},
        {"one unknown member",
         [](const std::string& n) { return goodReply(n).insert(1, "\"extra\":\"x\","); },
         "1.0.0.1",
         0,
         {"[KTUpgrade:914]unknown json key:extra"}},
        {"letter case counts",
         [](const std::string& n) { return goodReply(n).insert(1, "\"VER\":\"9\","); },
         "1.0.0.1",
         0,
         {"[KTUpgrade:914]unknown json key:VER"}},
        {"an empty inner object is a member like any other",
         [](const std::string& n) { return goodReply(n).insert(1, "\"x\":{},"); },
         "1.0.0.1",
         0,
         {"[KTUpgrade:914]unknown json key:x"}},
        {"a later member overwrites",
         [](const std::string& n) { return goodReply(n).insert(1, "\"ver\":\"0.9\","); },
         "1.0.0.1",
         0,
         {}},
        {"braces around no JSON",
         [](const std::string&) { return "{this is not json}"; },
         "1",
         -2,
         {"[KTUpgrade:734]BackStr Invalid:{this is not json}"}},
        {"empty body", [](const std::string&) { return ""; }, "1", -2, {"[KTUpgrade:734]BackStr Invalid:"}},
        {"JSON array",
         [](const std::string& n) { return "[" + goodReply(n) + "]"; },
         "1",
         -2,
         {"[KTUpgrade:734]BackStr Invalid:[" + goodReply("%N") + "]"}},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        ScriptedServer server([&c](const std::string& request) { return httpReply(200, c.reply(nonceOf(request))); });
        servers({{0, server.base()}});
        kt.reset();
        Outputs out;
        EXPECT_EQ(check(c.version, out), c.result) << c.what;
        ASSERT_EQ(server.requests().size(), 1u) << c.what;
        const std::string nonce = nonceOf(server.requests()[0]);
        std::vector<std::string> expected;
        const std::pair<std::string, std::string> marks[] = {{"%S", (nonce + std::string(20, 'X')).substr(0, 15)},
                                                             {"%N", nonce}};
        for (std::string l : c.lines) {
            for (const auto& [mark, text] : marks) {
                for (std::size_t at = l.find(mark); at != std::string::npos; at = l.find(mark, at + text.size())) {
                    l.replace(at, 2, text);
                }
            }
            expected.push_back(l);
        }
        EXPECT_EQ(linesNumbered({734, 745, 752, 914}), expected) << c.what;
        if (c.result >= 0) {
            EXPECT_EQ(std::string(out.url.data()), kUrl) << c.what;
            EXPECT_EQ(std::string(out.ip.data()), kIp) << c.what;
            EXPECT_EQ(std::string(out.md5.data()), kMd5) << c.what;
            EXPECT_EQ(std::string(out.ver.data()), c.outVer) << c.what;
        } else {
            EXPECT_TRUE(out.allUntouched()) << c.what;
            EXPECT_EQ(lines().back(), "[KTUpgrade:764]TRY Finished buf failed") << c.what;
        }
    }
}

// Every field is bounded; what a server sends beyond is cut, never written
// past the buffer (the outputs are exact-size heap blocks under AddressSanitizer).
TEST_F(ServiceClient, OverlongReplyMembersAreCutAtTheirFields) {
    const std::string url = "http://127.0.0.1:9/" + std::string(1500, 'u');
    ScriptedServer server([&](const std::string& request) {
        return httpReply(200, "{\"url\":\"" + url + "\",\"ip\":\"" + std::string(100, 'i') + "\",\"ver\":\"" +
                                  std::string(40, 'v') + "\",\"md5\":\"" + std::string(100, 'm') + "\",\"rnd\":\"" +
                                  nonceOf(request) + "\"}");
    });
    servers({{0, server.base()}});
    Outputs out;
    EXPECT_EQ(check(std::string(31, 'v').c_str(), out), 0);  // the received ver is cut to 31 bytes first
    EXPECT_EQ(std::string(out.url.data()), url.substr(0, 999));
    EXPECT_EQ(std::string(out.ip.data()), std::string(31, 'i'));
    EXPECT_EQ(std::string(out.ver.data()), std::string(31, 'v'));
    EXPECT_EQ(std::string(out.md5.data()), std::string(63, 'm'));
    EXPECT_EQ(out.url[1000], 'Z');  // nothing written past the 1000-byte copy
}

// A reply of made-up member names costs the log a few lines, and a reply
// that is not for this request (another rnd) costs it none.
TEST_F(ServiceClient, UnknownMembersAreLoggedOnlyForAnAcceptedReplyAndOnlyAFew) {
    struct Case {
        const char* what;
        bool ourRnd;
        int result;
        std::size_t unknownLines;
    };
    const Case cases[] = {
        {"accepted", true, 0, CheckReply::kLoggedUnknownKeys},
        {"another rnd", false, -2, 0},
    };
    for (const Case& c : cases) {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        ScriptedServer server([&c](const std::string& request) {
            const std::string tail = goodReply(c.ourRnd ? nonceOf(request) : "WRONG").substr(1);
            std::string reply = "{";
            char member[32];
            for (int i = 0; reply.size() + 32 + tail.size() < HttpManager::kMaxReplyBytes; ++i) {
                std::snprintf(member, sizeof member, "\"k%07d\":0,", i);
                reply += member;
            }
            return httpReply(200, reply + tail);
        });
        servers({{0, server.base()}});
        kt.reset();
        Outputs out;
        EXPECT_EQ(check("1.0.0.1", out), c.result) << c.what;
        ASSERT_EQ(server.requests().size(), 1u) << c.what;
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < c.unknownLines; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "[KTUpgrade:914]unknown json key:k%07zu", i);
            expected.push_back(line);
        }
        EXPECT_EQ(linesNumbered({914}), expected) << c.what;
        EXPECT_LE(lines().size(), 20u) << c.what;
    }
}

// Whatever a server sends is written into the log file as one line: control
// characters in member names, rnd and unusable replies appear escaped.
TEST_F(ServiceClient, ServerTextCannotBreakALogLine) {
    const std::string forged = "2026-01-01_00:00:00:000 [GameLauncher:1] [KTUpgrade:1]forged";
    struct Case {
        const char* what;
        std::function<std::string(const std::string& nonce)> reply;
        std::string line;  // with a "%N" for the nonce
    };
    const Case cases[] = {
        {"member name",
         [&](const std::string& n) { return goodReply(n).insert(1, "\"a\\r\\n" + forged + "\":0,"); },
         "[KTUpgrade:914]unknown json key:a\\r\\n" + forged},
        {"rnd", [&](const std::string&) { return goodReply("x\\n" + forged); }, "[KTUpgrade:745]Rnd different: x\\n"},
        {"unusable reply",
         [&](const std::string&) { return "not json\r\n" + forged + "\t\x01\x7f"; },
         "[KTUpgrade:734]BackStr Invalid:not json\\r\\n" + forged + "\\t\\x01\\x7f"},
    };
    for (const Case& c : cases) {
        ScriptedServer server([&c](const std::string& request) { return httpReply(200, c.reply(nonceOf(request))); });
        servers({{0, server.base()}});
        KTUpgrade client(folderText.c_str(), LogServiceError);
        Outputs out;
        client.checkLauncherUpgrade("1.0.0.1", out.url.data(), out.ip.data(), out.ver.data(), out.md5.data());
        ASSERT_EQ(server.requests().size(), 1u) << c.what;
        const std::string nonce = nonceOf(server.requests()[0]);
        ReleaseLogger();
        const std::string text = testsupport::readLogs(home);
        fs::remove_all(home.logFolder());
        std::string expected = c.line;
        if (const std::size_t at = expected.find("%N"); at != std::string::npos) expected.replace(at, 2, nonce);
        EXPECT_NE(text.find("] " + expected), std::string::npos) << c.what << "\n" << text;
        // Every line of the file is one of ours: the prefix, then a tagged message.
        const std::regex ours(R"(^\d{4}-\d{2}-\d{2}_\d{2}:\d{2}:\d{2}:\d{3} \[GameLauncher:\d+\] \[KTUpgrade:\d+\].*)");
        std::size_t count = 0;
        for (std::size_t pos = 0; pos < text.size(); ++count) {
            const std::size_t end = text.find("\r\n", pos);
            ASSERT_NE(end, std::string::npos) << c.what;
            const std::string line = text.substr(pos, end - pos);
            EXPECT_TRUE(std::regex_match(line, ours)) << c.what << ": " << line;
            EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << c.what << ": " << line;
            pos = end + 2;
        }
        EXPECT_EQ(count, static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'))) << c.what;
    }
}

TEST_F(ServiceClient, LongInvalidRepliesInTheLog) {
    struct Case {
        std::size_t length;
        std::string message;
    };
    const Case cases[] = {
        {100, "BackStr Invalid:" + std::string(100, 'x')},
        // The message buffer holds 2,047 bytes: the prefix pushes the end out.
        {2040, "BackStr Invalid:" + std::string(2047 - 16, 'x')},
        {2048, "BackStr Invalid:" + std::string(2047 - 16, 'x')},
        // Past 2,048 bytes only the first 2,000 are logged, without a prefix.
        {2049, std::string(2000, 'x')},
        {100000, std::string(2000, 'x')},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        ScriptedServer server(answer(200, std::string(c.length, 'x')));
        servers({{0, server.base()}});
        kt.reset();
        EXPECT_EQ(report("GLHR_STR"), -2);
        EXPECT_EQ(linesNumbered({478}), std::vector<std::string>{"[KTUpgrade:478]" + c.message}) << c.length;
    }
}

// Bodies and URLs are bounded to 511 bytes: what does not fit is cut, and
// the cut request is sent (the server then judges it).
TEST_F(ServiceClient, BodyAndUrlAreCutAt511Bytes) {
    ScriptedServer server(answer(200, "{\"status\":1}"));
    const std::string base = server.base() + std::string(600, 'a') + "/";
    servers({{0, base}});
    EXPECT_EQ(report("GLHR_STR", std::string(600, '9').c_str()), 0);
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string request = server.requests()[0];
    const std::string expectedUrl = base.substr(0, 511);
    const std::string path =
        expectedUrl.substr(std::string("http://127.0.0.1:" + std::to_string(server.port())).size());
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "POST " + path + " HTTP/1.1");
    const std::string fullBody =
        "cid=" + machineCid() + "&unid=0&appid=0&event=GLHR_STR&sid=0&ver=" + std::string(600, '9') + "&user=0&ext=";
    EXPECT_EQ(bodyOf(request), fullBody.substr(0, 511));
    EXPECT_EQ(lines().front(), "[KTUpgrade:461]POST INFO: " + expectedUrl + "?" + fullBody.substr(0, 511));
}

TEST_F(ServiceClient, ReportReplies) {
    // Any JSON-object text ends the report, whatever it says; anything else
    // moves on to the next slot, which here accepts.
    struct Case {
        std::string reply;
        int result;
        bool nextSlotTried;
    };
    const Case cases[] = {
        {"{\"status\":1}", 0, false},  {"{\"STATUS\":1}", 0, false}, {"{\"Status\":1}", 0, false},
        {"{\"status\": 1}", 1, false}, {"{\"status\":0}", 1, false}, {"{}", 1, false},
        {"{not even json}", 1, false}, {"{\"status\":1} ", 0, true}, {"ok", 0, true},
    };
    for (const auto& c : cases) {
        ScriptedServer first(answer(200, c.reply));
        ScriptedServer second(answer(200, "{\"status\":1}"));
        servers({{0, first.base()}, {1, second.base()}});
        kt.reset();
        EXPECT_EQ(report("GLHR_STR"), c.result) << c.reply;
        EXPECT_EQ(second.requests().size(), c.nextSlotTried ? 1u : 0u) << c.reply;
    }
}

TEST_F(ServiceClient, EmptyEventSendsNothing) {
    ScriptedServer server(goodService());
    servers({{0, server.base()}});
    EXPECT_EQ(report(""), -3);
    EXPECT_EQ(report(nullptr), -3);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(lines().empty());
}

TEST_F(ServiceClient, ConfigurationIsReadOnceOnTheFirstRequest) {
    ScriptedServer first(goodService());
    ScriptedServer second(goodService());
    servers({{0, first.base()}});
    writeIni("union.db", "[UNION]\nID=1\n");
    EXPECT_EQ(report("GLHR_STR"), 0);
    servers({{0, second.base()}});
    writeIni("union.db", "[UNION]\nID=2\n");
    Outputs out;
    EXPECT_EQ(check("1.0.0.1", out), 0);
    ASSERT_EQ(first.requests().size(), 2u);
    EXPECT_TRUE(second.requests().empty());
    EXPECT_EQ(formField(bodyOf(first.requests()[1]), "unid"), "1");
}

TEST_F(ServiceClient, NoServerConfigured) {
    Outputs out;
    EXPECT_EQ(check("1.0.0.1", out), -2);
    EXPECT_TRUE(out.allUntouched());
    EXPECT_EQ(report("GLHR_STR"), -2);
    const auto all = lines();
    ASSERT_EQ(all.size(), 18u);
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(all[2 * n].rfind("[KTUpgrade:718]POST INFO: launcher/check?rnd=", 0), 0u) << all[2 * n];
        EXPECT_EQ(all[2 * n + 1], "[KTUpgrade:724]POST FAILE: postRes:3  postResCode:0");
        EXPECT_EQ(all[9 + 2 * n].rfind("[KTUpgrade:461]POST INFO: log/startgame?cid=", 0), 0u) << all[9 + 2 * n];
        EXPECT_EQ(all[9 + 2 * n + 1], "[KTUpgrade:467]HTTP POST FAILE: postRes:3  postResCode:0");
    }
    EXPECT_EQ(all[8], "[KTUpgrade:764]TRY Finished buf failed");
    EXPECT_EQ(all[17], "[KTUpgrade:486]TRY Finished buf failed");
}

TEST_F(ServiceClient, ConfigurationThatCannotLoad) {
    Outputs out;
    KTUpgrade noCallback(folderText.c_str(), nullptr);
    EXPECT_EQ(noCallback.DataReport_common(0, 0, "1", "GLHR_STR", ""), -1);
    EXPECT_EQ(noCallback.checkLauncherUpgrade("1", out.url.data(), out.ip.data(), out.ver.data(), out.md5.data()), -1);
    EXPECT_TRUE(lines().empty());

    for (const wchar_t* folderArg : {static_cast<const wchar_t*>(nullptr), L""}) {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        KTUpgrade noFolder(folderArg, captureLine);
        EXPECT_EQ(noFolder.DataReport_common(0, 0, "1", "GLHR_STR", ""), -1);
        // Not loaded, so the next request tries again.
        EXPECT_EQ(noFolder.checkLauncherUpgrade("1", out.url.data(), out.ip.data(), out.ver.data(), out.md5.data()),
                  -1);
        EXPECT_EQ(lines(), (std::vector<std::string>{"[KTUpgrade:778]m_pGamePath is NULL",
                                                     "[KTUpgrade:778]m_pGamePath is NULL"}));
    }
    EXPECT_TRUE(out.allUntouched());
}

TEST_F(ServiceClient, OneInstancePerProcess) {
    ScriptedServer first(goodService());
    ScriptedServer second(goodService());
    servers({{0, first.base()}});
    const std::wstring otherFolder = (home.root() / "other").wstring();
    testsupport::writeFile(home.root() / "other/launcher.ini", "[UPGRADE]\nSERVER_UPGRADE_0=" + second.base() + "\n");

    KTUpgrade* a = getKTUpgrade(folderText.c_str(), captureLine);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(getKTUpgrade(otherFolder.c_str(), nullptr), a);
    EXPECT_EQ(a->DataReport_common(0, 0, "1", "GLHR_STR", ""), 0);
    EXPECT_EQ(first.requests().size(), 1u);
    delete a;
    // Deleting forgets the instance; the next call makes one from its own arguments.
    KTUpgrade* b = getKTUpgrade(otherFolder.c_str(), captureLine);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->DataReport_common(0, 0, "1", "GLHR_STR", ""), 0);
    EXPECT_EQ(second.requests().size(), 1u);
    delete b;
}

TEST_F(ServiceClient, RedirectsAreFollowed) {
    ScriptedServer target(goodService());
    ScriptedServer mover(
        [&](const std::string&) { return httpReply(307, "", "Location: " + target.base() + "launcher/check\r\n"); });
    servers({{0, mover.base()}});
    Outputs out;
    EXPECT_EQ(check("1.0.0.1", out), 0);
    ASSERT_EQ(target.requests().size(), 1u);
    EXPECT_EQ(bodyOf(target.requests()[0]), bodyOf(mover.requests()[0]));
}

#ifndef _WIN32
// Left out on Windows: under Wine, Schannel accepts a self-signed
// certificate when libcurl is given no CA file (real Windows refuses it).
// ---------------------------------------------------------------------------
// TLS: verification stays on. A self-signed certificate, made here, fails the
// attempt like a transfer error, and the next slot is tried.

struct PemFiles {
    fs::path cert;
    fs::path key;
};

PemFiles makeSelfSignedCertificate(const fs::path& folder) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    // The name matches, so only the missing trust can fail the check.
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(cert, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(cert, key, EVP_sha256());
    PemFiles files{folder / "cert.pem", folder / "key.pem"};
    FILE* f = std::fopen(files.cert.c_str(), "wb");
    PEM_write_X509(f, cert);
    std::fclose(f);
    f = std::fopen(files.key.c_str(), "wb");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
    return files;
}

TEST_F(ServiceClient, UnverifiedHttpsServerFailsItsAttempt) {
    const PemFiles pem = makeSelfSignedCertificate(home.root());
    httplib::SSLServer tls(pem.cert.c_str(), pem.key.c_str());
    ASSERT_TRUE(tls.is_valid());
    std::atomic<int> served{0};
    tls.Post("/launcher/check", [&](const httplib::Request& req, httplib::Response& res) {
        ++served;
        res.set_content(goodReply(formField(req.body, "rnd")), "application/json");
    });
    tls.Post("/log/startgame", [&](const httplib::Request&, httplib::Response& res) {
        ++served;
        res.set_content("{\"status\":1}", "application/json");
    });
    const int port = tls.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread loop([&] { tls.listen_after_bind(); });

    // The server itself works for a client that does not verify.
    {
        httplib::SSLClient probe("127.0.0.1", port);
        probe.enable_server_certificate_verification(false);
        const auto res = probe.Post("/log/startgame", "x=1", "application/x-www-form-urlencoded");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
    }
    ASSERT_EQ(served.load(), 1);

    ScriptedServer fallback(goodService());
    servers({{0, "https://127.0.0.1:" + std::to_string(port) + "/"}, {1, fallback.base()}});
    Outputs out;
    EXPECT_EQ(check("1.0.0.1", out), 0);
    EXPECT_EQ(report("GLHR_STR"), 0);
    EXPECT_EQ(served.load(), 1);
    EXPECT_EQ(fallback.requests().size(), 2u);
    EXPECT_EQ(linesNumbered({724, 467}),
              (std::vector<std::string>{"[KTUpgrade:724]POST FAILE: postRes:60  postResCode:0",
                                        "[KTUpgrade:467]HTTP POST FAILE: postRes:60  postResCode:0"}));
    tls.stop();
    loop.join();
}
#endif

// A server that takes the connection and never answers: the attempt ends at
// its 10-second time-out and the next slot is tried. (The one slow test.)
// A reply is taken up to 1 MiB; a longer one, even a correct one, ends its
// attempt (23: the write was refused) and the next slot is asked.
TEST_F(ServiceClient, RepliesPastOneMebibyteFailTheirAttempt) {
    struct Case {
        std::size_t length;
        bool taken;
    };
    for (const Case& c : {Case{HttpManager::kMaxReplyBytes, true}, Case{HttpManager::kMaxReplyBytes + 1, false},
                          Case{64u * 1024 * 1024, false}}) {
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        // A correct reply, padded with an unknown member to `length` bytes.
        ScriptedServer big([&c](const std::string& request) {
            const std::string reply = goodReply(nonceOf(request), "6.6.6.6");
            const std::string head = "{\"pad\":\"";
            const std::string rest = "\"," + reply.substr(1);
            return httpReply(200, head + std::string(c.length - head.size() - rest.size(), 'p') + rest);
        });
        ScriptedServer good(goodService());
        servers({{0, big.base()}, {1, good.base()}});
        kt.reset();
        Outputs out;
        EXPECT_EQ(check("1.0.0.1", out), c.taken ? 1 : 0) << c.length;
        EXPECT_EQ(std::string(out.ver.data()), c.taken ? "6.6.6.6" : "1.0.0.1") << c.length;
        EXPECT_EQ(linesNumbered({724}),
                  c.taken ? std::vector<std::string>{}
                          : std::vector<std::string>{"[KTUpgrade:724]POST FAILE: postRes:23  postResCode:0"})
            << c.length;
        EXPECT_EQ(good.requests().size(), c.taken ? 0u : 1u) << c.length;
    }
}

// A slot, or a redirect from one, that names another protocol than http(s)
// fails like a dead slot: no local file is read as a reply and no other
// kind of server is contacted; the next slot answers.
TEST_F(ServiceClient, OnlyHttpAndHttpsAreSpoken) {
    int otherPort = 0;
    const testsupport::Socket other = testsupport::listenOnLoopback(&otherPort);
    const std::string otherUrl = "ftp://127.0.0.1:" + std::to_string(otherPort) + "/";
    const std::filesystem::path fileReply = home.root() / "launcher";
    testsupport::writeFile(fileReply / "check", goodReply("", "6.6.6.6"));
    struct Case {
        const char* what;
        std::function<std::string(const std::string&)> slot0;  // its URL, given the redirecting server's
    };
    ScriptedServer redirecting([&](const std::string&) {
        return httpReply(302, "", "Location: " + otherUrl + "launcher/check\r\n");
    });
    for (const Case& c : {Case{"redirect to ftp", [](const std::string& base) { return base; }},
                          Case{"file slot",
                               [&](const std::string&) {
                                   // "file:///C:/..." on Windows, "file:///tmp/..." on Linux.
                                   const std::string root = home.root().generic_string();
                                   return (root.front() == '/' ? "file://" : "file:///") + root + "/";
                               }},
                          Case{"ftp slot", [&](const std::string&) { return otherUrl; }}}) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> lock(g_linesLock);
            g_lines.clear();
        }
        ScriptedServer good(goodService("2.0.0.0"));
        servers({{0, c.slot0(redirecting.base())}, {1, good.base()}});
        kt.reset();
        Outputs out;
        EXPECT_EQ(check("1.0.0.1", out), 1);
        EXPECT_EQ(std::string(out.ver.data()), "2.0.0.0");
        EXPECT_EQ(good.requests().size(), 1u);
        const auto failed = linesNumbered({724});
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0], "[KTUpgrade:724]POST FAILE: postRes:1  postResCode:0");
    }
    // Nothing ever connected to the other server.
    EXPECT_FALSE(testsupport::socketReadable(other, 0));
    testsupport::closeSocket(other);
}

TEST_F(ServiceClient, SilentServerTimesOut) {
    // The system completes the handshake; nobody reads.
    int silentPort = 0;
    const testsupport::Socket silent = testsupport::listenOnLoopback(&silentPort);
    ScriptedServer fallback(goodService());
    servers({{0, "http://127.0.0.1:" + std::to_string(silentPort) + "/"}, {1, fallback.base()}});
    EXPECT_EQ(report("GLHR_STR"), 0);
    EXPECT_EQ(linesNumbered({467}),
              std::vector<std::string>{"[KTUpgrade:467]HTTP POST FAILE: postRes:28  postResCode:0"});
    testsupport::closeSocket(silent);
}

TEST_F(ServiceClient, TerminationEndsAHeldTransfer) {
    ScriptedServer holding([](const std::string&) { return std::string(); });
    servers({{0, holding.base()}});
    std::stop_source termination;
    client().setTerminationToken(termination.get_token());
    std::thread raiser([&] {
        if (holding.waitForRequests(1)) termination.request_stop();
    });
    EXPECT_EQ(report("GLHR_STR"), -2);
    raiser.join();
    EXPECT_EQ(linesNumbered({467}).front(), "[KTUpgrade:467]HTTP POST FAILE: postRes:42  postResCode:0");
}

#ifndef _WIN32
// Left out on Windows: it needs a network namespace, which only Linux has.
// In a network namespace of its own the process sees only a loopback
// adapter: no hardware address, so the machine id is 32 zeros.
TEST_F(ServiceClient, NoAdapterGivesZeroMachineId) {
    if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs CAP_SYS_ADMIN for a network namespace";
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ASSERT_EQ(::ioctl(fd, SIOCGIFFLAGS, &ifr), 0);
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ASSERT_EQ(::ioctl(fd, SIOCSIFFLAGS, &ifr), 0);
    ::close(fd);

    char mac[16] = "untouched";
    EXPECT_FALSE(KTUpgrade::getMacHex(mac));
    EXPECT_STREQ(mac, "untouched");
    ScriptedServer server(goodService());
    servers({{0, server.base()}});
    EXPECT_EQ(report("GLHR_STR"), 0);
    Outputs out;
    EXPECT_EQ(check("1.0.0.1", out), 0);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(formField(bodyOf(server.requests()[0]), "cid"), std::string(32, '0'));
    EXPECT_EQ(formField(bodyOf(server.requests()[1]), "cid"), std::string(32, '0'));
    EXPECT_TRUE(std::regex_match(nonceOf(server.requests()[1]), kNonce));
}
#endif

// ---------------------------------------------------------------------------

TEST(MachineId, FirstUsableAdapter) {
    using A = platform::NetworkAdapter;
    struct Case {
        const char* what;
        std::vector<A> adapters;
        const char* expected;  // null: none
    };
    const std::vector<uint8_t> eth1 = {0x02, 0xAB, 0x00, 0x10, 0xfe, 0x01};
    const std::vector<uint8_t> eth2 = {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    const Case cases[] = {
        {"none", {}, nullptr},
        {"loopback only", {A{"lo", true, std::vector<uint8_t>(6, 0)}}, nullptr},
        {"loopback skipped even with an address", {A{"lo", true, eth2}, A{"eth0", false, eth1}}, "02ab0010fe01"},
        {"all-zero address skipped",
         {A{"dummy", false, std::vector<uint8_t>(6, 0)}, A{"eth1", false, eth2}},
         "0a0b0c0d0e0f"},
        {"other address lengths skipped",
         {A{"ib0", false, std::vector<uint8_t>(20, 1)}, A{"tun0", false, {}}, A{"eth0", false, eth1}},
         "02ab0010fe01"},
        {"first in the system's order", {A{"eth1", false, eth2}, A{"eth0", false, eth1}}, "0a0b0c0d0e0f"},
    };
    for (const auto& c : cases) {
        char out[16];
        std::memset(out, '#', sizeof out);
        const bool found = macHexFromAdapters(c.adapters, out);
        EXPECT_EQ(found, c.expected != nullptr) << c.what;
        if (c.expected != nullptr) {
            EXPECT_EQ(std::string(out), c.expected) << c.what;
            EXPECT_EQ(std::string(out + 12, 4), std::string(4, '\0')) << c.what;
        } else {
            EXPECT_EQ(out[0], '#') << c.what;
        }
    }
}

// The rnd field holds the text the reply sent only when it fits whole and
// has no NUL; otherwise the record says so, since the field's text could
// then equal the nonce with something after it. The last rnd decides.
TEST(CheckReplyWalk, RndThatIsNotWholeIsMarked) {
    struct Case {
        std::string json;
        bool cut;
    };
    const Case cases[] = {
        {R"({"rnd":"abc"})", false},
        {R"({"rnd":"abc\u0000X"})", true},
        {R"({"rnd":")" + std::string(15, 'r') + "\"}", false},
        {R"({"rnd":")" + std::string(16, 'r') + "\"}", true},
        {R"({"rnd":")" + std::string(16, 'r') + R"(","rnd":"abc"})", false},
        {R"({"rnd":"abc","x":{"rnd":")" + std::string(40, 'r') + "\"}}", true},
    };
    KTUpgrade client(L"/nonexistent", captureLine);
    for (const Case& c : cases) {
        std::unique_ptr<JsonNode> root(JsonParse(c.json.c_str()));
        ASSERT_TRUE(root) << c.json;
        CheckReply record;
        client.parseCheckReply(*root, record);
        EXPECT_EQ(record.rndCut, c.cut) << c.json;
    }
}

TEST(Nonce, AlphabetAndLengths) {
    const std::string alphabet = "1234567890abcdefghigklmnopqrstuvwxyzABCDEFGHIGKLMNOPQRSTUVWXYZ";
    std::set<std::size_t> lengths;
    std::set<char> seen;
    for (int i = 0; i < 2000; ++i) {
        char out[32];
        std::memset(out, '#', sizeof out);
        makeRandomStringFrom(nullptr, out);
        const std::string s(out);
        ASSERT_GE(s.size(), 8u);
        ASSERT_LE(s.size(), 15u);
        lengths.insert(s.size());
        for (char ch : s) {
            ASSERT_NE(alphabet.find(ch), std::string::npos) << s;
            seen.insert(ch);
        }
        makeRandomStringFrom("02ab0010fe01", out);
        ASSERT_EQ(std::strlen(out), 15u);
        EXPECT_EQ(std::string(out, 12), "02ab0010fe01");
        for (int k = 12; k < 15; ++k) ASSERT_NE(alphabet.find(out[k]), std::string::npos);
    }
    EXPECT_EQ(lengths.size(), 8u);  // every length from 8 to 15 turns up
    EXPECT_EQ(seen.count('j') + seen.count('J'), 0u);
    EXPECT_EQ(seen.size(), 60u);  // 62 entries, "g" and "G" twice each
}

// Checks made one after the other, in the same second, get nonces nobody
// could compute: 50 of them repeat a value only by rare chance (one in a few
// hundred for a single repeat among 238,328 values).
TEST(Nonce, ChecksInTheSameSecondGetDifferentNonces) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        char out[32] = {};
        KTUpgrade::makeRandomString(out);
        seen.insert(out);
    }
    EXPECT_GE(seen.size(), 45u);
}

}  // namespace
