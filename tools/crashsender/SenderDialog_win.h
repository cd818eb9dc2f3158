// The sender's dialog on Windows, a small Win32 window with the choices of
// the Linux one: what happened in plain words, the files the report holds
// (each optional one with a box to leave it out), the privacy-policy link,
// and Send / Don't send. Sending runs on a thread of its own; the window
// stays responsive, says whether it worked, and closing it cancels a
// transfer still running.
//
// Runs on the calling thread's message loop until the window is closed.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "ReportFolder.h"
#include "Upload.h"

namespace crashsender {

using UploadFunction = std::function<UploadResult(const std::vector<bool>& include, std::stop_token stop)>;

// 0 when no send was tried or the last one worked; 1 when the last send
// failed; 3 when the window could not be made.
int runSenderDialog(const ReportFolder& report, const std::string& privacyUrl, UploadFunction upload);

}  // namespace crashsender
