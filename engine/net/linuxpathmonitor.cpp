// Linux network-path monitor. Without a server, a usable path is a default
// route (IPv4 or IPv6) through an interface that is up, running and not
// loopback; with one, it is the kernel's route to the server's address, so a
// LAN without a gateway, or this machine alone, can reach its own server. A
// netlink socket wakes the monitor's thread on every link, address or route
// change. Needs no D-Bus and no NetworkManager, so it works in containers too.
#include "pathmonitor.h"
#include "routetable.h"

#include <linux/rtnetlink.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Addresses = std::vector<sockaddr_storage>;

Addresses resolve(const std::string &host, int flags)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *list = nullptr;
    Addresses addresses;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
        return addresses;
    for (const addrinfo *a = list; a; a = a->ai_next) {
        sockaddr_storage address{};
        std::memcpy(&address, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof address));
        addresses.push_back(address);
    }
    ::freeaddrinfo(list);
    return addresses;
}

// One lookup of the server's name, on a thread of its own: a resolver can
// block for seconds, and the monitor must stop at once all the same. The
// monitor never waits for it; whichever side lets go last frees this.
struct Lookup {
    const int done = ::eventfd(0, EFD_CLOEXEC); // readable once `addresses` is final
    std::mutex mutex;
    Addresses addresses;

    ~Lookup()
    {
        if (done >= 0)
            ::close(done);
    }

    static std::shared_ptr<Lookup> start(const std::string &host)
    {
        auto lookup = std::make_shared<Lookup>();
        if (lookup->done < 0)
            return nullptr;
        try {
            std::thread([lookup, host] {
                Addresses found = resolve(host, 0);
                {
                    const std::lock_guard lock(lookup->mutex);
                    lookup->addresses = std::move(found);
                }
                const std::uint64_t one = 1;
                [[maybe_unused]] const auto n = ::write(lookup->done, &one, sizeof one);
            }).detach();
        } catch (const std::system_error &) {
            return nullptr;
        }
        return lookup;
    }
};

// The server's addresses as last looked up, on the monitor's thread only. A
// literal address needs no lookup; a name is looked up again after every
// network change, one lookup at a time.
class ServerAddresses {
public:
    explicit ServerAddresses(std::string host) : m_host(std::move(host))
    {
        if (!m_host.empty())
            m_addresses = resolve(m_host, AI_NUMERICHOST);
        m_isName = !m_host.empty() && m_addresses.empty();
    }

    // Empty while there is no server or its name does not resolve.
    const Addresses &addresses() const { return m_addresses; }
    bool pending() const { return m_lookup != nullptr; }
    int lookupDone() const { return m_lookup ? m_lookup->done : -1; }

    void refresh()
    {
        if (!m_isName)
            return;
        if (m_lookup)
            m_again = true;
        else
            m_lookup = Lookup::start(m_host);
    }

    // The lookup in flight has finished.
    void collect()
    {
        {
            const std::lock_guard lock(m_lookup->mutex);
            m_addresses = std::move(m_lookup->addresses);
        }
        m_lookup.reset();
        if (std::exchange(m_again, false))
            refresh();
    }

private:
    std::string m_host;
    bool m_isName = false;
    Addresses m_addresses;
    std::shared_ptr<Lookup> m_lookup;
    bool m_again = false;
};

bool usablePath(const Addresses &server)
{
    if (!server.empty())
        return std::any_of(server.begin(), server.end(), hasUsableRouteTo);
    // The routes of this thread's network namespace, which is the process's
    // unless someone moved the thread.
    std::ifstream ipv4("/proc/thread-self/net/route");
    std::ifstream ipv6("/proc/thread-self/net/ipv6_route");
    return hasUsableDefaultRoute(ipv4, ipv6, interfaceIsUsable);
}

// A netlink socket that becomes readable on every link, address or route
// change; -1 when there is none, and then the monitor reports only once.
int openChangeEvents()
{
    const int nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (nl < 0)
        return -1;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(nl, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(nl);
        return -1;
    }
    return nl;
}

// How long the first report waits for the first lookup of a name, so that a
// window does not flash offline while its server's name is being resolved.
constexpr auto firstLookupGrace = std::chrono::seconds(1);

class LinuxPathMonitor final : public PathMonitor {
public:
    explicit LinuxPathMonitor(std::string server) : m_server(std::move(server)) {}

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
        using Clock = std::chrono::steady_clock;
        const int nl = openChangeEvents();
        ServerAddresses server(m_server);
        server.refresh();
        const auto graceEnds = Clock::now() + firstLookupGrace;
        bool reported = false;
        char buffer[16384];
        for (;;) {
            int timeout = -1;
            if (!reported) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(graceEnds - Clock::now());
                timeout = server.pending() ? static_cast<int>(std::max<std::int64_t>(left.count(), 0)) : 0;
            }
            pollfd fds[3] = {{m_wake, POLLIN, 0}, {nl, POLLIN, 0}, {server.lookupDone(), POLLIN, 0}};
            const int ready = ::poll(fds, 3, timeout);
            if (ready < 0)
                continue;
            if (fds[0].revents)
                break;
            if (fds[1].revents) {
                // Drain the burst that one change causes, then look once.
                while (::recv(nl, buffer, sizeof buffer, 0) > 0) {
                }
                server.refresh();
            }
            if (fds[2].revents)
                server.collect();
            const bool changed = fds[1].revents || fds[2].revents;
            if (reported ? changed : ready == 0 || !server.pending()) {
                handler(usablePath(server.addresses()));
                reported = true;
            }
        }
        if (nl >= 0)
            ::close(nl);
    }

    std::string m_server;
    int m_wake = -1;
    std::thread m_thread;
};

} // namespace

std::unique_ptr<PathMonitor> createSystemPathMonitor(const std::string &server)
{
    return std::make_unique<LinuxPathMonitor>(server);
}
