#include <Velantor/Network/HostAddresses.h>

#include <algorithm>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace Velantor::Network {

std::vector<std::string> getHostIPAddresses(bool includeLoopback)
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;

    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!(entry->ifa_flags & IFF_UP)) continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        const bool loopback =
            (entry->ifa_flags & IFF_LOOPBACK) || (ntohl(address.s_addr) >> 24) == 127;
        if (loopback && !includeLoopback) continue;
        char text[INET_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET, &address, text, sizeof text)) continue;
        // An address configured on two interfaces would otherwise make a caller
        // listen twice on the same network.
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    freeifaddrs(list);
    return addresses;
}

}  // namespace Velantor::Network
