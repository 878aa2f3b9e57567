#pragma once
// SpeedTestServer: the local measurement server. It serves
//   GET  /__down?bytes=N  N zero bytes (0 <= N <= maxBytes), streamed
//   POST /__up            reads and discards the body (any length, also chunked),
//                         answers 200 empty
//   GET  /.well-known/nq  the responsiveness configuration (JSON, version 1): URLs
//                         of a 100 GB download, a 1-byte download and the upload
//   GET  /__rtt?connection=T  the kernel's round-trip estimate of the live
//                         connection whose downloads carry "Quorvel-Connection: T"
//                         (plain connections only), as JSON in microseconds
// and answers bad input with 400 (one text line), unknown paths with 404 and
// wrong methods with 405, then keeps serving.
//
// - Owns its listening socket and a pool of Options::threads workers; each
//   connection keeps one worker for its life (keep-alive has no request cap).
// - Every public method may be called from any thread. start() and stop()
//   must not race each other; stop() is idempotent and joins everything.
// - The throttle applies to the response body of a download and to the
//   request body of any other request.
// - Test builds (QUORVEL_SERVER_TEST_HOOKS, the quorvel_server_testing
//   library) add faults and request records: a request is recorded when it
//   arrives and its record is final before its response head is sent.
//   Byte-position faults (stall, close, reset, throttle) apply where the
//   throttle does. With TLS, reset is not available (the library owns those
//   sockets); a reset rule then closes normally. Product builds have neither.
// - Plain C++ (no Qt). The host process of a TLS server should ignore
//   SIGPIPE; plain connections never raise it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifdef QUORVEL_SERVER_TEST_HOOKS
struct FaultRule {
    int nth = 0;            // 1-based position in requests() (counted since start or
                            // the last clearRequests()); 0 = every request
    std::string path;       // "" = any path; else exact path, e.g. "/__down"
    int status = 0;         // non-zero: answer this status instead of the usual one (a
                            // /__down still sends its N-byte body unless the status
                            // forbids a body, 204/304)
    std::chrono::milliseconds headDelay{0};     // wait before the response head
    std::int64_t stallAfterBytes = -1;          // stop moving body bytes after K ...
    std::chrono::milliseconds stallFor{0};      // ... for this long (cut short by stop())
    std::int64_t closeAfterBytes = -1;          // close the connection after K body bytes
    bool reset = false;                         // with closeAfterBytes: TCP RST instead of FIN
    std::int64_t throttleBytesPerSecond = 0;    // 0 = unthrottled
    std::int64_t bodyBytes = -1;                // >= 0: a /__down sends this many body
                                                // bytes, whatever it asked for
    bool whileBodiesMove = false;               // only for a request with no body of its own
                                                // (a /__down of 0 bytes) that arrives while
                                                // another request's body moves
};

struct RequestRecord {
    std::string method;       // "GET", "POST"
    std::string path;         // "/__down"
    std::string query;        // raw query string without '?', e.g. "bytes=0&r=ABC..."
    std::string contentType;  // request Content-Type header, "" if none
    std::int64_t bodyBytes = 0; // request body bytes received (uploads)
    int remotePort = -1;      // client's port: equal on two records = same connection
    std::string param(const std::string &name) const; // decoded query parameter or ""
};
#endif

// Declared outside SpeedTestServer so that its member defaults can serve the
// constructor's default argument (a nested class's are not usable there).
struct SpeedTestServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;                      // 0: ephemeral
    std::string certFile, keyFile;     // both set: TLS
    std::int64_t throttleBytesPerSecond = 0; // per body, both directions
    std::chrono::milliseconds delay{0}; // before every response head
    int threads = 64;
    // A client idle this long between requests loses its connection.
    std::chrono::seconds keepAliveTimeout{15};
    // A peer that neither sends nor accepts a byte this long is dropped.
    std::chrono::seconds ioTimeout{30};
    // SO_SNDBUF/SO_RCVBUF of every connection. 0 keeps the kernel's
    // auto-tuning: fixed multi-megabyte buffers measured about half as fast
    // on loopback, and a fixed size caps the window on longer paths. With a
    // server-wide throttle, 0 sets the receive buffer to 5 ms of it (16 KiB
    // to 4 MiB), so that the kernel takes no more than the throttle either.
    int socketBufferBytes = 0;
#ifdef QUORVEL_SERVER_TEST_HOOKS
    // Off for long-running use: the records would grow without bound.
    bool recordRequests = true;
#endif
};

class SpeedTestServer {
public:
    using Options = SpeedTestServerOptions;
    // Largest accepted /__down size: 100 GB.
    static constexpr std::int64_t maxBytes = 100'000'000'000;

    explicit SpeedTestServer(Options options = {});
    ~SpeedTestServer();                 // stop()
    SpeedTestServer(const SpeedTestServer &) = delete;
    SpeedTestServer &operator=(const SpeedTestServer &) = delete;

    bool start();                       // binds and serves on a thread of its own; false on failure
    void stop();                        // idempotent; ends stalls and delays at once; joins
    int port() const;
    std::string url() const;            // "http://127.0.0.1:PORT" (https when TLS)
    std::string errorString() const;    // why start() failed

#ifdef QUORVEL_SERVER_TEST_HOOKS
    void addFault(FaultRule rule);      // thread-safe; every matching rule applies
    void clearFaults();
    std::vector<RequestRecord> requests() const; // thread-safe snapshot, arrival order
    void clearRequests();
#endif

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
