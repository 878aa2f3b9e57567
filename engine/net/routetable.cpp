#include "routetable.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

namespace {

constexpr unsigned long routeUp = 0x0001;     // RTF_UP
constexpr unsigned long routeReject = 0x0200; // RTF_REJECT

bool flagsCarryTraffic(const std::string &hexFlags)
{
    try {
        const unsigned long f = std::stoul(hexFlags, nullptr, 16);
        return (f & routeUp) && !(f & routeReject);
    } catch (...) {
        return false;
    }
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask ...
bool ipv4Default(std::istream &in, const InterfaceCheck &usable)
{
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask))
            continue;
        if (dest == "00000000" && mask == "00000000" && flagsCarryTraffic(flags) && usable(iface))
            return true;
    }
    return false;
}

// dest plen src splen nexthop metric refcnt use flags iface
bool ipv6Default(std::istream &in, const InterfaceCheck &usable)
{
    const std::string anyAddress(32, '0');
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string dest, plen, src, splen, nexthop, metric, refcnt, use, flags, iface;
        if (!(fields >> dest >> plen >> src >> splen >> nexthop >> metric >> refcnt >> use >> flags >> iface))
            continue;
        if (dest == anyAddress && plen == "00" && flagsCarryTraffic(flags) && usable(iface))
            return true;
    }
    return false;
}

} // namespace

bool hasUsableDefaultRoute(std::istream &ipv4Table, std::istream &ipv6Table, const InterfaceCheck &usable)
{
    return ipv4Default(ipv4Table, usable) || ipv6Default(ipv6Table, usable);
}

bool interfaceIsUsable(const std::string &name)
{
    if (name.empty() || name.size() >= IFNAMSIZ)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    const bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    ::close(fd);
    if (!ok)
        return false;
    const auto flags = request.ifr_flags;
    return (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
}
