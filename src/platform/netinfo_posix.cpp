#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>

#include "platform/netinfo.h"

namespace platform {

bool listNetworkAdapters(std::vector<NetworkAdapter>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    // The AF_PACKET entry of each interface carries its hardware address;
    // the address-family entries (IPv4, IPv6) are the same adapter again.
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET) continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        NetworkAdapter adapter;
        adapter.name = it->ifa_name != nullptr ? it->ifa_name : "";
        adapter.loopback = ll->sll_hatype == ARPHRD_LOOPBACK || (it->ifa_flags & IFF_LOOPBACK) != 0;
        const std::size_t len = ll->sll_halen <= sizeof ll->sll_addr ? ll->sll_halen : sizeof ll->sll_addr;
        adapter.address.assign(ll->sll_addr, ll->sll_addr + len);
        out.push_back(std::move(adapter));
    }
    ::freeifaddrs(list);
    return true;
}

}  // namespace platform
