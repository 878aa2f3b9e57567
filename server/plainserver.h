#pragma once
// PlainServer: httplib's HTTP server with its per-connection loop replaced by
// ours, so the server can reach each connection's socket.
//
// - Each accepted connection is served by one worker thread for its life.
//   While a request runs on that thread, Connection::current() is its
//   connection; handlers use it to cut the connection (FIN or RST).
// - stopConnections() may be called from any thread: it shuts every live
//   connection down so workers blocked on a silent client return at once,
//   and closes any connection accepted afterwards.
// - Reads are buffered (the library parses request heads byte by byte);
//   writes go straight to the socket. Neither raises SIGPIPE.
// - Each connection has a random token while it lives; roundTrip() reads
//   the kernel's round-trip estimate of the connection with that token,
//   from any thread, so a client can learn how its busy download
//   connection fares without a request on it.
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

class Connection final : public httplib::Stream {
public:
    Connection(int fd, std::chrono::milliseconds ioTimeout);

    // The connection of the request running on this thread, or nullptr.
    static Connection *current();

    // Refuses every further write and closes the connection when the
    // current request returns; with reset the peer gets a TCP RST after
    // the bytes already written have reached it.
    void abort(bool reset);
    bool aborted() const { return m_aborted; }
    // Closes the connection once the current response is out.
    void closeAfterResponse() { m_closeAfterResponse = true; }
    bool closing() const { return m_aborted || m_closeAfterResponse; }
    bool resetRequested() const { return m_reset; }
    const std::string &token() const { return m_token; }
    void setToken(std::string token) { m_token = std::move(token); }

    // Waits up to idle for the next request's first byte.
    bool waitForRequest(std::chrono::milliseconds idle) const;

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char *ptr, size_t size) override;
    ssize_t write(const char *ptr, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    int socket() const override { return m_fd; }

private:
    bool waitFor(short events, std::chrono::milliseconds timeout) const;

    int m_fd;
    std::chrono::milliseconds m_ioTimeout;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    bool m_aborted = false;
    bool m_reset = false;
    bool m_closeAfterResponse = false;
    std::string m_token;
};

// The sender's smoothed round-trip time and its variation (TCP_INFO).
struct TcpRoundTrip {
    std::uint32_t rttMicros = 0;
    std::uint32_t rttVarMicros = 0;
};

class PlainServer final : public httplib::Server {
public:
    void setTimeouts(std::chrono::milliseconds keepAlive, std::chrono::milliseconds io);
    void setSocketBuffer(int bytes) { m_socketBuffer = bytes; }
    void stopConnections();
    // Of the live connection with this token; none for an unknown one.
    std::optional<TcpRoundTrip> roundTrip(const std::string &token);

private:
    bool process_and_close_socket(int fd) override;
    // The new connection's token; none once stopping (fd is then closed).
    std::optional<std::string> track(int fd);
    void closeTracked(int fd, const std::string &token, bool reset);

    std::chrono::milliseconds m_keepAlive{15'000};
    std::chrono::milliseconds m_io{30'000};
    int m_socketBuffer = 0;
    std::mutex m_mutex;
    std::set<int> m_live;
    std::map<std::string, int> m_tokens;
    std::mt19937_64 m_random{std::random_device{}()};
    bool m_stopping = false;
};

// TCP_NODELAY and, if bytes > 0, both socket buffers.
void tuneSocket(int fd, int bufferBytes);
