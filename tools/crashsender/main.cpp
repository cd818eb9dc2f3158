// The crash sender: started by the crash-report engine with one report
// folder after the program crashed. It symbolises the report, asks the user
// whether to send it, and uploads it.
//
//   crashsender [--send | --no-send] [--no-dialog] <report folder>
//
// With a dialog (the default) the user decides. --no-dialog runs without a
// window: with --send it uploads everything and exits 0 only when the
// service accepted the report; otherwise (--no-send, or no --send) it only
// writes the symbolised text. The environment variable GL_CRASHSENDER_ARGS
// adds options (blank-separated) before the command line's own, so that tests
// and automation can make the sender the engine starts non-interactive.
//
// Exit codes: 0 done (sent, symbolised only, or the user chose not to send);
// 1 the upload failed; 2 bad usage or an unreadable report; 3 a dialog was
// asked for but no display is available (the report stays on disk).
#include <curl/curl.h>

#ifndef _WIN32
#include <QApplication>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "ReportFolder.h"
#ifdef _WIN32
#include "SenderDialog_win.h"
#else
#include "SenderDialog.h"
#endif
#include "crash/CrashBuildSettings.h"
#include "crash/CrashReportFormat.h"
#include "Upload.h"

namespace {

struct Options {
    bool send = false;
    bool noSend = false;
    bool noDialog = false;
    std::string folder;
};

void usage() {
    std::fprintf(stderr,
                 "usage: crashsender [--send | --no-send] [--no-dialog] <report folder>\n"
                 "  --no-dialog   no window: with --send upload everything, else only symbolise\n"
                 "  GL_CRASHSENDER_ARGS in the environment adds options before these\n");
}

bool parse(const std::vector<std::string>& args, Options& o) {
    for (const std::string& a : args) {
        if (a == "--send") {
            o.send = true;
        } else if (a == "--no-send") {
            o.noSend = true;
        } else if (a == "--no-dialog") {
            o.noDialog = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "crashsender: unknown option %s\n", a.c_str());
            return false;
        } else if (o.folder.empty()) {
            o.folder = a;
        } else {
            std::fprintf(stderr, "crashsender: more than one report folder given\n");
            return false;
        }
    }
    if (o.send && o.noSend) {
        std::fprintf(stderr, "crashsender: --send and --no-send exclude each other\n");
        return false;
    }
    if (o.folder.empty()) {
        std::fprintf(stderr, "crashsender: no report folder given\n");
        return false;
    }
    return true;
}

bool displayAvailable() {
#ifdef _WIN32
    // A Windows session always has its desktop.
    return true;
#endif
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = std::getenv(name);
        if (v != nullptr && *v != '\0') return true;
    }
    return false;
}

std::string privacyUrl(const crashsender::ReportFolder& report) {
    return report.description.privacy.empty() ? std::string(crashreport::kPrivacyPolicyUrl) : report.description.privacy;
}

}  // namespace

int main(int argc, char** argv) {
    // libdw fetches missing debug information from the servers this variable
    // names (Debian sets it for login shells). That would send the crashed
    // program's build ids out before the user agreed to send anything, and
    // wait on the network; symbols come from the local files only.
#ifndef _WIN32
    ::unsetenv("DEBUGINFOD_URLS");
#endif
    std::vector<std::string> args;
    if (const char* extra = std::getenv("GL_CRASHSENDER_ARGS")) {
        const std::string text = extra;
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t end = text.find_first_of(" \t", pos);
            const std::string word = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            if (!word.empty()) args.push_back(word);
            if (end == std::string::npos) break;
            pos = end + 1;
        }
    }
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    Options opt;
    if (!parse(args, opt)) {
        usage();
        return 2;
    }

    crashsender::ReportFolder report;
    std::string error;
    if (!crashsender::loadReport(opt.folder, report, error)) {
        std::fprintf(stderr, "crashsender: %s\n", error.c_str());
        return 2;
    }
    if (!crashsender::writeSymbolised(report, error)) std::fprintf(stderr, "crashsender: %s\n", error.c_str());

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "crashsender: the network library could not be started\n");
        return 1;
    }
    const std::string url = crashsender::uploadUrl(report);
    const bool binary = (report.description.flags & crashreport::kFlagHttpBinaryEncoding) != 0;
    auto upload = [&](const std::vector<bool>& include, std::stop_token stop) {
        crashsender::UploadResult r =
            crashsender::uploadReport(url, crashsender::uploadParts(report, include), binary, std::move(stop));
        if (r.ok) crashsender::markSent(report, r.serverId);
        return r;
    };

    int code = 0;
    if (opt.noDialog) {
        if (opt.send) {
            // Nobody is there to cancel; the upload's own time-outs bound it.
            const crashsender::UploadResult r = upload({}, std::stop_token{});
            if (r.ok) {
                std::printf("crashsender: %s\n", r.message.c_str());
            } else {
                std::fprintf(stderr, "crashsender: upload to %s failed: %s\n", url.c_str(), r.message.c_str());
                code = 1;
            }
        } else {
            std::printf("crashsender: symbolised %s/%s\n", report.path.c_str(), crashsender::kSymbolisedFile);
        }
    } else if (!displayAvailable()) {
        std::fprintf(stderr, "crashsender: no display to ask whether to send %s; the report stays there\n",
                     report.path.c_str());
        code = 3;
    } else {
#ifdef _WIN32
        code = crashsender::runSenderDialog(report, privacyUrl(report), upload);
#else
        int qtArgc = 1;
        QApplication app(qtArgc, argv);
        crashsender::SenderDialog dialog(report, privacyUrl(report), upload);
        dialog.exec();
        if (dialog.sendTried() && !dialog.result().ok) code = 1;
#endif
    }
    curl_global_cleanup();
    return code;
}
