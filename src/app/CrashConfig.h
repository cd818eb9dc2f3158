// Where crash reports go: the upload URL and the privacy-policy address that
// the crash-report installation hands to the engine.
//
// Both come from build settings: the CMake cache variables
// GL_CRASH_UPLOAD_HOST and GL_CRASH_PRIVACY_URL, which reach the code as
// crashreport::kBuiltInUploadHost and kPrivacyPolicyUrl in the generated
// crash/CrashBuildSettings.h. The upload URL is
// "http://" + host + "/index.php/crashReport/uploadExternal" for a plain
// "host[:port]", and the host itself + that path for one given as
// "https://host[:port]" (or "http://..."; a trailing "/" is dropped). The
// program folder's "setting.ini" may name another host, in the same forms,
// in section "CrashReport", key "UploadHost";
// without that key (or with an empty value) the built-in host holds.
// Nothing else about crash reporting is configurable.
//
// Pure reads of a small file: callable from any thread, nothing is cached.
#pragma once

#include <string>

// The upload URL with the built-in host.
const wchar_t* crashBuiltInUploadUrl();

// The privacy-policy address (crashreport::kPrivacyPolicyUrl).
const wchar_t* crashPrivacyPolicyUrl();

// The upload URL for a program in `programFolder` (no trailing separator),
// with the "setting.ini" host when one is set. A null or empty folder gives
// the built-in URL. The host is read with a 1024-character buffer, as the
// other setting.ini values are; a longer value is cut like any profile value.
std::wstring crashUploadUrl(const wchar_t* programFolder);
