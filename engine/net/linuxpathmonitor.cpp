// Linux network-path monitor: a usable path is a default route (IPv4 or
// IPv6) through an interface that is up, running and not loopback. A
// netlink socket wakes the monitor's thread on every link, address or route
// change; the routing tables are then read from /proc. Needs no D-Bus and no
// NetworkManager, so it works in containers too.
#include "pathmonitor.h"
#include "routetable.h"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

bool usablePath()
{
    std::ifstream ipv4("/proc/net/route");
    std::ifstream ipv6("/proc/net/ipv6_route");
    return hasUsableDefaultRoute(ipv4, ipv6, interfaceIsUsable);
}

class LinuxPathMonitor final : public PathMonitor {
public:
    ~LinuxPathMonitor() override
    {
        if (m_thread.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
            m_thread.join();
        }
        if (m_wake >= 0)
            ::close(m_wake);
    }

    void start(Handler handler) override
    {
        m_wake = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this, handler = std::move(handler)] { loop(handler); });
    }

private:
    void loop(const Handler &handler)
    {
        const int nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (nl >= 0) {
            sockaddr_nl addr{};
            addr.nl_family = AF_NETLINK;
            addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE
                | RTMGRP_IPV6_ROUTE;
            if (::bind(nl, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
                ::close(nl);
                handler(usablePath());
                waitForStop();
                return;
            }
        }
        handler(usablePath());
        if (nl < 0) {
            // Without netlink we can only report once.
            waitForStop();
            return;
        }
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {nl, POLLIN, 0}};
        char buffer[16384];
        for (;;) {
            if (::poll(fds, 2, -1) < 0)
                continue;
            if (fds[0].revents)
                break;
            if (fds[1].revents) {
                // Drain the burst that one change causes, then look once.
                while (::recv(nl, buffer, sizeof buffer, 0) > 0) {
                }
                handler(usablePath());
            }
        }
        ::close(nl);
    }

    void waitForStop()
    {
        pollfd fd{m_wake, POLLIN, 0};
        while (::poll(&fd, 1, -1) < 0) {
        }
    }

    int m_wake = -1;
    std::thread m_thread;
};

} // namespace

std::unique_ptr<PathMonitor> createSystemPathMonitor()
{
    return std::make_unique<LinuxPathMonitor>();
}
