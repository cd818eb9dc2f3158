#include "transfer/CurlStop.h"

namespace {

// A non-zero answer from the progress callback is libcurl's own way to cancel
// a transfer from outside; it is asked at least once a second, and more often
// while bytes flow.
int onTransferProgress(void* token, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::stop_token*>(token)->stop_requested() ? 1 : 0;
}

}  // namespace

void abortTransferOnStop(CURL* handle, const std::stop_token* token) {
    if (token == nullptr) return;
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onTransferProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, token);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}
