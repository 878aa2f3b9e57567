#pragma once
// A raw client for the server tests, on 127.0.0.1 with bounded waits: a
// socket of our own that shows what is on the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

// A connection that has sent request, and reads nothing yet; -1 if that failed.
inline int sent(int port, const std::string &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()))
        return fd;
    ::close(fd);
    return -1;
}

// The answers on one connection, read until the server ends it (or
// `seconds` pass in silence). Times are milliseconds since just before the
// request; the longest silence is counted from it too, so a late head is
// one. A silence that a server holds ends at least that long after the
// request however late this side reads, where its measured length need not.
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
    std::int64_t lastDataMs = 0, endMs = -1, longestGapMs = 0, gapEndMs = 0;
    std::size_t bytesBeforeGap = 0; // heads included
};

inline Wire talk(int port, const std::string &request, int seconds = 10)
{
    using namespace std::chrono;
    Wire wire;
    std::string bytes;
    const auto start = steady_clock::now();
    const auto now = [start] { return duration_cast<milliseconds>(steady_clock::now() - start).count(); };
    if (const int fd = sent(port, request); fd >= 0) {
        timeval timeout{seconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        std::vector<char> buffer(65536);
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
            const std::int64_t t = now();
            if (t - wire.lastDataMs > wire.longestGapMs) {
                wire.longestGapMs = t - wire.lastDataMs;
                wire.gapEndMs = t;
                wire.bytesBeforeGap = bytes.size();
            }
            wire.lastDataMs = t;
            bytes.append(buffer.data(), static_cast<size_t>(n));
        }
        wire.endMs = now();
        wire.closed = n == 0;
        wire.reset = n < 0 && errno == ECONNRESET;
        ::close(fd);
    }
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
