// Per-user named markers whose only meaning is "one of that name exists"
// (named semaphores on Windows). A marker is an exclusive lock on
// "<runtime folder>/<name>.lock" (see folders.h); the kernel drops it when
// its holder ends, so a crash never leaves a stale marker behind. Two
// holders in one process exclude each other too.
//
// Threads: callable from any thread; one Marker object is used by one thread
// at a time. Nothing here blocks.
#pragma once

#include <cstdint>

#include "platform/native_handle.h"

namespace platform {

class Marker {
public:
    enum class Result {
        Acquired,     // this object now holds the marker
        AlreadyHeld,  // someone else holds it ("already exists")
        Failed,       // it could not be checked; the last error says why
    };

    Marker() = default;
    ~Marker() { release(); }
    Marker(const Marker&) = delete;
    Marker& operator=(const Marker&) = delete;

    // Takes the marker `name` (ASCII) unless someone else holds it.
    Result acquire(const char* name);
    // Gives the marker up; nothing when not held.
    void release();
    bool held() const { return m_handle.valid(); }

private:
    UniqueHandle m_handle;
};

// Whether someone holds `name`. The probe only looks: it never holds the
// marker, not even for an instant, so it cannot turn away a holder that
// takes the marker at the same moment. Free also when the runtime folder
// cannot be made or is refused (see folders.h): nobody can hold a marker
// there. Failed when the marker's file cannot be looked at, or on a
// passing failure (out of descriptors or memory).
enum class MarkerState { Free, Held, Failed };
MarkerState probeMarker(const char* name);

}  // namespace platform
