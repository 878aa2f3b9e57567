#pragma once
// Clients for the server tests, on 127.0.0.1 with bounded waits: an httplib
// client (keep-alive, targets sent exactly as written) for connections that
// stay open, and a socket of our own that shows what is on the wire.
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

// The answers on one connection, read until the server ends it (or 10 s
// pass). The longest silence is counted from the request, so a late head is
// one too.
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
    std::int64_t lastDataMs = 0, endMs = -1, longestGapMs = 0;
    std::size_t bytesBeforeGap = 0; // heads included
};

inline Wire talk(int port, const std::string &request)
{
    using namespace std::chrono;
    Wire wire;
    std::string bytes;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const auto start = steady_clock::now();
    const auto now = [start] { return duration_cast<milliseconds>(steady_clock::now() - start).count(); };
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        std::vector<char> buffer(65536);
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
            const std::int64_t t = now();
            if (t - wire.lastDataMs > wire.longestGapMs) {
                wire.longestGapMs = t - wire.lastDataMs;
                wire.bytesBeforeGap = bytes.size();
            }
            wire.lastDataMs = t;
            bytes.append(buffer.data(), static_cast<size_t>(n));
        }
        wire.endMs = now();
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
