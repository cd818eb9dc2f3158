// The component-object apartment the window's thread needs on Windows (the
// picture decoder is a COM component). Linux has no counterpart: there the
// pair does nothing and cannot fail.
//
// Threads: the UI thread, once each, around the toolkit's whole lifetime.
#pragma once

namespace platform {

// CoInitialize on Windows; false when its result is a failure.
bool initializeCom();
// CoUninitialize; only after a successful initializeCom.
void uninitializeCom();

}  // namespace platform
