#include "routetable.h"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
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

namespace {

// The interface's flags as the kernel reports them; none when it is unknown.
unsigned interfaceFlags(const std::string &name)
{
    if (name.empty() || name.size() >= IFNAMSIZ)
        return 0;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    const bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    ::close(fd);
    return ok ? static_cast<unsigned short>(request.ifr_flags) : 0;
}

bool upAndRunning(unsigned flags)
{
    return (flags & IFF_UP) && (flags & IFF_RUNNING);
}

// The kernel's answer to one RTM_GETROUTE request: the route, or an error
// when there is none or it rejects (unreachable, prohibit, blackhole, throw).
bool answerIsUsable(const char *answer, int length)
{
    for (auto *header = reinterpret_cast<const nlmsghdr *>(answer); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type != RTM_NEWROUTE)
            return false;
        const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(header));
        switch (route->rtm_type) {
        case RTN_UNREACHABLE:
        case RTN_PROHIBIT:
        case RTN_BLACKHOLE:
        case RTN_THROW:
            return false;
        default:
            break;
        }
        int attributesLength = static_cast<int>(RTM_PAYLOAD(header));
        for (auto *attribute = RTM_RTA(route); RTA_OK(attribute, attributesLength);
             attribute = RTA_NEXT(attribute, attributesLength)) {
            if (attribute->rta_type != RTA_OIF)
                continue;
            int index = 0;
            std::memcpy(&index, RTA_DATA(attribute), sizeof index);
            char name[IF_NAMESIZE] = {};
            return ::if_indextoname(static_cast<unsigned>(index), name) && upAndRunning(interfaceFlags(name));
        }
        return false;
    }
    return false;
}

} // namespace

bool interfaceIsUsable(const std::string &name)
{
    const unsigned flags = interfaceFlags(name);
    return upAndRunning(flags) && !(flags & IFF_LOOPBACK);
}

bool hasUsableRouteTo(const sockaddr_storage &address)
{
    const void *bytes = nullptr;
    unsigned char size = 0;
    std::uint32_t scope = 0;
    if (address.ss_family == AF_INET) {
        bytes = &reinterpret_cast<const sockaddr_in &>(address).sin_addr;
        size = 4;
    } else if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        bytes = &v6.sin6_addr;
        size = 16;
        scope = v6.sin6_scope_id; // a link-local address names its interface
    } else {
        return false;
    }

    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(rtmsg)) + 2 * RTA_SPACE(16)] = {};
    auto *header = reinterpret_cast<nlmsghdr *>(request);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    header->nlmsg_type = RTM_GETROUTE;
    header->nlmsg_flags = NLM_F_REQUEST;
    auto *route = static_cast<rtmsg *>(NLMSG_DATA(header));
    route->rtm_family = static_cast<unsigned char>(address.ss_family);
    route->rtm_dst_len = static_cast<unsigned char>(size * 8);
    const auto add = [header](unsigned short type, const void *data, unsigned short length) {
        auto *attribute = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(header) + NLMSG_ALIGN(header->nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
        std::memcpy(RTA_DATA(attribute), data, length);
        header->nlmsg_len = NLMSG_ALIGN(header->nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    };
    add(RTA_DST, bytes, size);
    if (scope)
        add(RTA_OIF, &scope, sizeof scope);

    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    // The kernel answers while handling the request; the limit only guards
    // against a socket that never does.
    const timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char answer[8192];
    ssize_t received = -1;
    if (::sendto(fd, request, header->nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) >= 0)
        received = ::recv(fd, answer, sizeof answer, 0);
    ::close(fd);
    return received > 0 && answerIsUsable(answer, static_cast<int>(received));
}
