// The service client's form POST over libcurl. One transfer per call on a
// handle of its own, so calls from different threads do not share anything.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>

class HttpManager {
public:
    // The longest reply taken. The service's replies are a few hundred
    // bytes; a longer one fails its transfer with CURLE_WRITE_ERROR (23).
    static constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

    // Posts `body` (sent as it is, with libcurl's default form content type)
    // to `url` and appends what the server sends back to `reply`, at most
    // kMaxReplyBytes in all.
    // Only http and https are spoken, redirects included; redirects are
    // followed up to 5 times. TLS peer and host-name
    // verification stay on, against the system's trust store: an HTTPS
    // server whose certificate does not verify fails the transfer.
    //
    // Blocks for at most 30 s to connect and `timeoutSeconds` in all. When
    // `stop` is given, the transfer also ends soon after it is raised.
    //
    // Returns -1 when no transfer handle can be made, otherwise the libcurl
    // result of the transfer (0 = success) or, after a successful transfer,
    // of reading the status. `*status` receives the HTTP status only after a
    // successful transfer and is left alone otherwise.
    int postForm(const char* url, const char* body, std::string& reply, int timeoutSeconds, int* status,
                 const std::stop_token* stop = nullptr);
};
