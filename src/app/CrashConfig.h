// Where crash reports go: the upload URL and the privacy-policy address that
// the crash-report installation hands to the engine.
//
// Both are build settings (CMake cache variables GL_CRASH_UPLOAD_HOST and
// GL_PRIVACY_POLICY_URL). For the demo and the tests, the program folder's
// "setting.ini" may name another upload URL in section "CRASH", key
// "UPLOAD_URL"; without that key (or with an empty value) the built-in URL
// holds. Nothing else about crash reporting is configurable.
//
// Pure reads of a small file: callable from any thread, nothing is cached.
#pragma once

#include <string>

// "http://" + GL_CRASH_UPLOAD_HOST + "/index.php/crashReport/uploadExternal".
const wchar_t* crashBuiltInUploadUrl();

// GL_PRIVACY_POLICY_URL.
const wchar_t* crashPrivacyPolicyUrl();

// The upload URL for a program in `programFolder` (no trailing separator):
// the "setting.ini" override when set, else crashBuiltInUploadUrl(). A null
// or empty folder gives the built-in URL. The override is read with a
// 1024-character buffer, as the other setting.ini values are; a longer value
// is cut like any profile value.
std::wstring crashUploadUrl(const wchar_t* programFolder);
