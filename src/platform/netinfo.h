// Stand-in for GetAdaptersInfo: the machine's network adapters with their
// link-layer (hardware) addresses, in the system's order.
//
// Callable from any thread. Blocks only for the system call that lists the
// interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct NetworkAdapter {
    std::string name;
    bool loopback = false;
    // The hardware address bytes; its size is the address length the system
    // reports (6 for Ethernet, 0 for interfaces without one).
    std::vector<uint8_t> address;
};

// Fills `out` with one entry per interface that has a link-layer entry.
// False (with the last error set) when the system cannot list them; `out` is
// then empty.
bool listNetworkAdapters(std::vector<NetworkAdapter>& out);

}  // namespace platform
