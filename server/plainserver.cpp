#include "plainserver.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

thread_local Connection *t_current = nullptr;

// Large enough that one recv usually takes all a fast peer has queued.
constexpr std::size_t readBufferBytes = 256 * 1024;

void addressOf(int fd, bool peer, std::string &ip, int &port)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    auto *sa = reinterpret_cast<sockaddr *>(&addr);
    if ((peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len)) != 0)
        return;
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (::getnameinfo(sa, len, host, sizeof(host), serv, sizeof(serv),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    ip = host;
    port = std::atoi(serv);
}

} // namespace

void tuneSocket(int fd, int bufferBytes)
{
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    if (bufferBytes > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
    }
}

Connection::Connection(int fd, std::chrono::milliseconds ioTimeout)
    : m_fd(fd), m_ioTimeout(ioTimeout), m_buffer(readBufferBytes)
{
}

Connection *Connection::current()
{
    return t_current;
}

void Connection::abort(bool reset)
{
    m_aborted = true;
    m_reset = m_reset || reset;
}

bool Connection::waitFor(short events, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{m_fd, events, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int rc = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        if (rc > 0)
            return true; // errors and hang-ups too: the next call reports them
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

bool Connection::waitForRequest(std::chrono::milliseconds idle) const
{
    return m_begin != m_end || waitFor(POLLIN, idle);
}

bool Connection::is_readable() const
{
    return m_begin != m_end || waitFor(POLLIN, m_ioTimeout);
}

bool Connection::is_writable() const
{
    return !m_aborted && waitFor(POLLOUT, m_ioTimeout);
}

ssize_t Connection::read(char *ptr, size_t size)
{
    auto receive = [this](char *to, size_t max) -> ssize_t {
        for (;;) {
            const ssize_t n = ::recv(m_fd, to, max, MSG_DONTWAIT);
            if (n >= 0)
                return n;
            if (errno == EINTR)
                continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLIN, m_ioTimeout))
                return -1;
        }
    };
    if (m_begin == m_end) {
        if (size >= m_buffer.size())
            return receive(ptr, size);
        const ssize_t n = receive(m_buffer.data(), m_buffer.size());
        if (n <= 0)
            return n;
        m_begin = 0;
        m_end = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(size, m_end - m_begin);
    std::memcpy(ptr, m_buffer.data() + m_begin, n);
    m_begin += n;
    return static_cast<ssize_t>(n);
}

ssize_t Connection::write(const char *ptr, size_t size)
{
    while (!m_aborted) {
        const ssize_t n = ::send(m_fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLOUT, m_ioTimeout))
            return -1;
    }
    return -1;
}

void Connection::get_remote_ip_and_port(std::string &ip, int &port) const
{
    addressOf(m_fd, true, ip, port);
}

void Connection::get_local_ip_and_port(std::string &ip, int &port) const
{
    addressOf(m_fd, false, ip, port);
}

void PlainServer::setTimeouts(std::chrono::milliseconds keepAlive, std::chrono::milliseconds io)
{
    m_keepAlive = keepAlive;
    m_io = io;
}

void PlainServer::stopConnections()
{
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    for (int fd : m_live)
        ::shutdown(fd, SHUT_RDWR);
}

std::optional<std::string> PlainServer::track(int fd)
{
    std::lock_guard lock(m_mutex);
    if (m_stopping) {
        ::close(fd);
        return std::nullopt;
    }
    m_live.insert(fd);
    char token[17];
    do
        std::snprintf(token, sizeof(token), "%016llx", static_cast<unsigned long long>(m_random()));
    while (m_tokens.count(token));
    m_tokens.emplace(token, fd);
    return token;
}

std::optional<TcpRoundTrip> PlainServer::roundTrip(const std::string &token)
{
    // Under the lock the descriptor cannot be closed and handed out again.
    std::lock_guard lock(m_mutex);
    const auto it = m_tokens.find(token);
    tcp_info info{};
    socklen_t length = sizeof(info);
    if (it == m_tokens.end() || ::getsockopt(it->second, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return std::nullopt;
    return TcpRoundTrip{info.tcpi_rtt, info.tcpi_rttvar};
}

void PlainServer::closeTracked(int fd, const std::string &token, bool reset)
{
    if (reset) {
        // An RST discards whatever the peer has not yet acknowledged, so let
        // the written bytes arrive first (bounded: the peer may not read).
        const auto deadline = std::chrono::steady_clock::now() + m_io;
        int unacked = 0;
        while (::ioctl(fd, SIOCOUTQ, &unacked) == 0 && unacked > 0
               && std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Untracked and closed under the lock, so stopConnections() never
    // touches a descriptor number the kernel has handed out again.
    std::lock_guard lock(m_mutex);
    m_live.erase(fd);
    m_tokens.erase(token);
    if (reset) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    } else {
        ::shutdown(fd, SHUT_RDWR);
    }
    ::close(fd);
}

bool PlainServer::process_and_close_socket(int fd)
{
    const std::optional<std::string> token = track(fd);
    if (!token)
        return false;
    tuneSocket(fd, m_socketBuffer);
    Connection connection(fd, m_io);
    connection.setToken(*token);
    t_current = &connection;
    bool ok = true;
    while (connection.waitForRequest(m_keepAlive)) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                break;
        }
        bool closed = false;
        ok = process_request(connection, false, closed, nullptr);
        if (!ok || closed || connection.closing())
            break;
    }
    t_current = nullptr;
    closeTracked(fd, *token, connection.resetRequested());
    return ok;
}
