#pragma once

#include <string>
#include <vector>

namespace Velantor::Network {

/// The IPv4 addresses of this computer's network interfaces that are up, as dotted
/// text ("192.168.1.20"), in the order the system lists its interfaces, each address
/// once. Interfaces that are down are left out: nothing can be heard on them.
///
/// includeLoopback: with true, loopback addresses (127.0.0.0/8, or any address of an
/// interface flagged as loopback) are listed too; with false they are left out, which
/// is what a caller looking for devices on the network wants.
///
/// Returns an empty list when there is no such address or the system cannot list its
/// interfaces.
std::vector<std::string> getHostIPAddresses(bool includeLoopback);

}  // namespace Velantor::Network
