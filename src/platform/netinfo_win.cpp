// The build takes this file on Windows only; the guard keeps it empty where a
// folder-wide source list also hands it to another system's compiler.
#ifdef _WIN32

#include <winsock2.h>
// winsock2.h before windows.h (which iphlpapi.h includes): the other order
// declares the old sockets interface first.
#include <iphlpapi.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/netinfo.h"

namespace platform {

namespace {

// The first ask's size: room for sixteen adapters, the common case in one call.
constexpr ULONG kFirstBufferBytes = 10368;

}  // namespace

bool listNetworkAdapters(std::vector<NetworkAdapter>& out) {
    out.clear();
    ULONG size = kFirstBufferBytes;
    std::unique_ptr<unsigned char[]> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    // An adapter that appears between the two asks makes the second one short
    // again: ask with the new size a few times, never without end.
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.reset(new (std::nothrow) unsigned char[size]);
        if (!buffer) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        rc = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
    }
    if (rc == ERROR_NO_DATA) return true;  // no adapter at all: an empty list
    if (rc != ERROR_SUCCESS) {
        ::SetLastError(rc);
        return false;
    }
    for (const IP_ADAPTER_INFO* it = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.get()); it != nullptr;
         it = it->Next) {
        NetworkAdapter adapter;
        adapter.name.assign(it->AdapterName, strnlen(it->AdapterName, sizeof it->AdapterName));
        adapter.loopback = it->Type == MIB_IF_TYPE_LOOPBACK;
        const std::size_t len = it->AddressLength <= sizeof it->Address ? it->AddressLength : sizeof it->Address;
        adapter.address.assign(it->Address, it->Address + len);
        out.push_back(std::move(adapter));
    }
    return true;
}

}  // namespace platform

#endif  // _WIN32
