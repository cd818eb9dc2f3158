// The service client's form POST over libcurl. One transfer per call on a
// handle of its own, so calls from different threads do not share anything.
#pragma once

#include <stop_token>
#include <string>

class HttpManager {
public:
    // Posts `body` (sent as it is, with libcurl's default form content type)
    // to `url` and appends whatever the server sends back to `reply`.
    // Redirects are followed up to 5 times. TLS peer and host-name
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
