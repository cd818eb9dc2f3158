// One crash upload: a single multipart/form-data POST over libcurl.
//
// Certificate and host-name verification stay on for https; there is no
// option to turn them off. Only http and https are spoken, redirects are not
// followed (a POST body would not survive them). Time-outs: kConnectSeconds
// to connect, kTransferSeconds for the whole request, and a transfer that
// moves less than 1 byte/s for kStallSeconds ends too. Raising the `stop`
// token ends the transfer as it ends every other one (abortTransferOnStop):
// libcurl looks at it at least once a second, so the upload returns within
// about a second with the message "Sending was cancelled.".
//
// Blocks the calling thread for at most kTransferSeconds. Call
// curl_global_init once before the first upload (main does).
#pragma once

#include <stop_token>
#include <string>
#include <vector>

namespace crashsender {

inline constexpr long kConnectSeconds = 15;
inline constexpr long kTransferSeconds = 300;
inline constexpr long kStallSeconds = 30;
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// The bytes of every part are in memory: the caller has read and bounded
// them, so the upload opens no file and sends no more than it was given.
struct UploadPart {
    std::string field;     // form field name
    std::string filename;  // empty: a plain text field; else a file part of that name
    std::string value;     // the field's text or the file's bytes
};

struct UploadResult {
    bool ok = false;       // HTTP 200 and a reply {"status":1,...}
    long httpStatus = 0;   // 0 when no answer came
    std::string serverId;  // the "id" of the reply, when given
    std::string message;   // plain words for the user and the log
};

// The bounds of one upload, in seconds; the defaults are the sender's.
struct UploadLimits {
    long connectSeconds = kConnectSeconds;
    long transferSeconds = kTransferSeconds;
    long stallSeconds = kStallSeconds;
};

// `binaryEncoding`: file parts carry "Content-Transfer-Encoding: binary"
// (the report's flags hold crashreport::kFlagHttpBinaryEncoding). `stop` is
// read on the calling thread only; a token without a stop source (the
// default) never cancels.
UploadResult uploadReport(const std::string& url, const std::vector<UploadPart>& parts, bool binaryEncoding,
                          std::stop_token stop = {}, const UploadLimits& limits = {});

}  // namespace crashsender
