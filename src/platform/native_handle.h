// The system's handle to an open file, folder, socket or lock, and its one
// owner. On POSIX a handle is a file descriptor, on Windows a HANDLE; code
// outside the platform layer never looks inside one.
//
// UniqueHandle owns one handle (or none) and closes it when it is destroyed
// or reset; it moves but never copies, so a handle has exactly one closer.
// Closing through reset() or the destructor leaves the last error as it was,
// so that an owner dropped on a failure path never hides why it failed;
// close() instead reports a failed close. A handle that release() gave up is
// the caller's to close. One owner is used by one thread at a time; nothing
// here blocks.
#pragma once

#include <cstdint>
#include <utility>

namespace platform {

#ifdef _WIN32
using NativeHandle = void*;
// INVALID_HANDLE_VALUE. The calls that answer a null HANDLE on failure are
// mapped to it where they are made, so that one value means "none".
inline const NativeHandle kInvalidHandle = reinterpret_cast<NativeHandle>(static_cast<intptr_t>(-1));
#else
using NativeHandle = int;
inline constexpr NativeHandle kInvalidHandle = -1;
#endif

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(NativeHandle handle) : m_handle(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    NativeHandle get() const { return m_handle; }
    bool valid() const { return m_handle != kInvalidHandle; }
    // Gives the handle up without closing it.
    NativeHandle release() { return std::exchange(m_handle, kInvalidHandle); }
    // Closes the handle held, if any, and takes `handle` (kInvalidHandle: none).
    // The last error is kept.
    void reset(NativeHandle handle = kInvalidHandle);
    // Closes the handle held. True when the system closed it or none was held;
    // false, with the last error set, when the system reported a failure (the
    // handle is gone all the same and must not be closed again).
    bool close();

private:
    NativeHandle m_handle = kInvalidHandle;
};

}  // namespace platform
