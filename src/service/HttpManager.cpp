#include "service/HttpManager.h"

#include <curl/curl.h>

#include <new>

#include "transfer/CurlStop.h"

namespace {

size_t appendReply(char* data, size_t size, size_t count, void* userdata) {
    auto* reply = static_cast<std::string*>(userdata);
    // A server that keeps sending would otherwise grow the reply for the
    // whole time-out, gigabytes on a fast link, until the system kills us.
    // Consuming nothing ends the transfer (CURLE_WRITE_ERROR): the attempt
    // fails and the next server is asked.
    if (reply->size() > HttpManager::kMaxReplyBytes || size * count > HttpManager::kMaxReplyBytes - reply->size()) {
        return 0;
    }
    try {
        reply->append(data, size * count);
    } catch (const std::bad_alloc&) {
        // Consuming less than was given makes libcurl end the transfer with
        // CURLE_WRITE_ERROR, which the caller treats like any failed attempt.
        return 0;
    }
    return size * count;
}

}  // namespace

int HttpManager::postForm(const char* url, const char* body, std::string& reply, int timeoutSeconds, int* status,
                          const std::stop_token* stop) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return -1;
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    // The service speaks http(s); a slot or a redirect naming anything else
    // (a local file, an FTP server) is refused like a dead slot.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendReply);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // Certificate and host-name checks are deliberately left at libcurl's
    // defaults (on) for https: the reply names the package this program
    // installs and starts, so an unverified server could hand us anything.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    abortTransferOnStop(curl, stop);
    CURLcode res = curl_easy_perform(curl);
    if (res == CURLE_OK) {
        long code = 0;
        res = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        if (res == CURLE_OK && status != nullptr) *status = static_cast<int>(code);
    }
    curl_easy_cleanup(curl);
    return static_cast<int>(res);
}
