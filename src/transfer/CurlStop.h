// Ends a libcurl transfer when a stop token is raised. Transfer and service
// requests share this one callback so that cancellation means the same thing
// everywhere.
#pragma once

#include <curl/curl.h>

#include <stop_token>

// Installs the progress callback on `handle` that aborts the transfer (libcurl
// then reports CURLE_ABORTED_BY_CALLBACK) once `token` is raised. The token is
// borrowed and must outlive every transfer on the handle. A null token leaves
// the handle as it is.
void abortTransferOnStop(CURL* handle, const std::stop_token* token);
