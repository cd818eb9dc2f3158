#include "Upload.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/Json.h"
#include "transfer/CurlStop.h"

namespace crashsender {

namespace {

size_t collectReply(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<std::string*>(user);
    const size_t n = size * count;
    // A reply beyond the bound is not a status answer; keep reading so the
    // transfer ends cleanly, but keep only the start.
    if (reply->size() < kMaxReplyBytes) reply->append(data, std::min(n, kMaxReplyBytes - reply->size()));
    return n;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MimeDeleter {
    void operator()(curl_mime* m) const { curl_mime_free(m); }
};

// A file part's bytes, handed to libcurl where they lie instead of copied:
// an attachment may be a mebibyte.
struct PartReader {
    const std::string* bytes = nullptr;
    std::size_t at = 0;
};

size_t readPart(char* buffer, size_t size, size_t count, void* arg) {
    auto* r = static_cast<PartReader*>(arg);
    const std::size_t n = std::min(size * count, r->bytes->size() - r->at);
    std::memcpy(buffer, r->bytes->data() + r->at, n);
    r->at += n;
    return n;
}

int seekPart(void* arg, curl_off_t offset, int origin) {
    auto* r = static_cast<PartReader*>(arg);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > r->bytes->size())
        return CURL_SEEKFUNC_CANTSEEK;
    r->at = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

// The service's status: {"status":1,"id":"..."} at the top level.
bool readStatus(const std::string& reply, std::string& id) {
    std::unique_ptr<JsonNode> root(JsonParse(reply.c_str()));
    if (!root || root->type() != JsonType::Object) return false;
    bool accepted = false;
    for (uint32_t i = 0; i < root->size(); ++i) {
        JsonNode* child = root->at(i);
        if (child == nullptr) continue;
        const std::string name = child->name();
        if (name == "status") accepted = child->asString() == "1";
        if (name == "id") id = child->asString();
    }
    return accepted;
}

}  // namespace

UploadResult uploadReport(const std::string& url, const std::vector<UploadPart>& parts, bool binaryEncoding,
                          std::stop_token stop, const UploadLimits& limits) {
    UploadResult result;
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
        result.message = "The upload address is not an http or https address: \"" + url + "\".";
        return result;
    }
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        result.message = "The network library could not be started.";
        return result;
    }
    CURL* c = curl.get();
    std::unique_ptr<curl_mime, MimeDeleter> mime(curl_mime_init(c));
    // Outlives the transfer; sized once, so no reader moves.
    std::vector<PartReader> readers(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const UploadPart& p = parts[i];
        curl_mimepart* part = curl_mime_addpart(mime.get());
        curl_mime_name(part, p.field.c_str());
        if (p.filename.empty()) {
            curl_mime_data(part, p.value.data(), p.value.size());
            continue;
        }
        readers[i].bytes = &p.value;
        curl_mime_data_cb(part, static_cast<curl_off_t>(p.value.size()), readPart, seekPart, nullptr, &readers[i]);
        curl_mime_filename(part, p.filename.c_str());
        curl_mime_type(part, "application/octet-stream");
        if (binaryEncoding) curl_mime_encoder(part, "binary");
    }
    std::string reply;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, limits.transferSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collectReply);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
    abortTransferOnStop(c, &stop);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    // The server answers "100 Continue" or not; waiting a second for it on
    // every upload buys nothing.
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);

    const CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(headers);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    if (rc != CURLE_OK) {
        result.message = rc == CURLE_ABORTED_BY_CALLBACK
                             ? std::string("Sending was cancelled.")
                             : "The report could not be sent: " +
                                   std::string(error[0] ? error : curl_easy_strerror(rc)) + ".";
        return result;
    }
    if (result.httpStatus != 200) {
        result.message = "The crash service refused the report (HTTP " + std::to_string(result.httpStatus) + ").";
        return result;
    }
    if (!readStatus(reply, result.serverId)) {
        result.message = "The crash service did not accept the report (answer: " + reply.substr(0, 200) + ").";
        return result;
    }
    result.ok = true;
    result.message = "The report was sent" + (result.serverId.empty() ? "" : " (id " + result.serverId + ")") + ".";
    return result;
}

}  // namespace crashsender
