#pragma once
// Clients for the server tests, on 127.0.0.1 with bounded waits: an httplib
// client (keep-alive, targets sent exactly as written) with a timed GET, and
// a socket of our own that shows what is on the wire.
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

inline std::unique_ptr<httplib::Client> clientFor(int port)
{
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_keep_alive(true);
    client->set_url_encode(false);
    client->set_connection_timeout(5);
    client->set_read_timeout(20);
    client->set_write_timeout(20);
    return client;
}

inline std::int64_t msSince(std::chrono::steady_clock::time_point start)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// The longest silence is counted from the request, so a late head is one too.
struct Get {
    int status = 0;
    std::int64_t bytes = 0, elapsedMs = 0, longestGapMs = 0, bytesBeforeGap = 0;
    httplib::Error error = httplib::Error::Unknown;
};

inline Get get(httplib::Client &client, const std::string &target)
{
    Get g;
    const auto start = std::chrono::steady_clock::now();
    auto result = client.Get(target, [&, last = std::int64_t(0)](const char *, size_t n) mutable {
        if (msSince(start) - last > g.longestGapMs) {
            g.longestGapMs = msSince(start) - last;
            g.bytesBeforeGap = g.bytes;
        }
        last = msSince(start);
        g.bytes += static_cast<std::int64_t>(n);
        return true;
    });
    g.elapsedMs = msSince(start);
    g.error = result.error();
    g.status = result ? result->status : 0;
    return g;
}

// The answers on one connection, read until the server ends it (or 10 s pass).
struct Wire {
    struct Answer {
        int status = 0;
        std::string head, body;
        std::string header(const std::string &name) const
        {
            const auto at = head.find("\r\n" + name + ": ");
            const auto from = at + name.size() + 4;
            return at == std::string::npos ? "" : head.substr(from, head.find("\r\n", from) - from);
        }
    };
    std::vector<Answer> answers;
    bool closed = false, reset = false; // FIN, RST
    std::int64_t lastDataMs = -1, endMs = -1;
};

inline Wire exchange(int port, const std::string &request)
{
    Wire wire;
    std::string bytes;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const auto start = std::chrono::steady_clock::now();
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        std::vector<char> buffer(65536);
        ssize_t n = 0;
        for (; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0; wire.lastDataMs = msSince(start))
            bytes.append(buffer.data(), static_cast<size_t>(n));
        wire.endMs = msSince(start);
        wire.closed = n == 0;
        wire.reset = n < 0 && errno == ECONNRESET;
    }
    ::close(fd);
    // Our server's answers carry a Content-Length or no body.
    for (std::size_t pos = 0, end; bytes.compare(pos, 9, "HTTP/1.1 ") == 0
         && (end = bytes.find("\r\n\r\n", pos)) != std::string::npos;) {
        Wire::Answer &a = wire.answers.emplace_back();
        a.head = bytes.substr(pos, end + 2 - pos);
        a.status = std::atoi(a.head.c_str() + 9);
        a.body = bytes.substr(end + 4, std::strtoull(a.header("Content-Length").c_str(), nullptr, 10));
        pos = end + 4 + a.body.size();
    }
    return wire;
}
