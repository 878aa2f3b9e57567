#pragma once
// HttpSession: an ephemeral HTTP client session on libcurl's multi
// interface, driven by one I/O thread of its own.
//
// - Created and invalidated on the main thread; every other method may be
//   called from any thread.
// - All events of one session (TransferObserver calls and fetch
//   completions) arrive one at a time, in order, on the session's I/O thread.
//   No lock of ours is held while they run.
// - Nothing is persisted: no cookies, no cache, no credentials. Every
//   request bypasses caches. Certificates are always verified for https.
// - Two timeouts, each failing a transfer with timedOut: the session's idle
//   timeout, when it moves no bytes (connecting included) for that long, and
//   the request's timeout, a limit on the whole request however many bytes
//   still trickle in. Zero or less sets no limit. A transfer held back by
//   maxConnectionsPerHost has not started: both clocks start with its
//   connection.
// - Request headers with CR, LF or NUL, or names that are not tokens, fail
//   the request with setupFailed before anything is sent. TLS failures end
//   with tlsFailed, failures of curl itself with clientFailed; every error's
//   description keeps curl's own words. Names under .invalid
//   fail with cannotFindHost without a lookup. A fetch keeps at most 64 MiB
//   of body (badServerResponse beyond that).
// - Consumers must not throw: an exception cannot unwind through libcurl
//   and ends the program.
// - Transfers created and never started are kept until the session dies.
#include "httperror.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

using TransferId = std::int64_t;

enum class ResponseDisposition { cancel = 0, allow = 1 };

// Per-transfer events, called on the session's I/O thread.
class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    // The response head is complete. cancel stops the transfer before its
    // body is read; it then completes with a cancelled error.
    virtual ResponseDisposition onResponse(TransferId id, long status) = 0;
    // Body bytes that reached the connection since the previous event of this
    // transfer: what curl read, and over TCP also what the socket holds past
    // a lost segment, never beyond the body's length. They add up to the body
    // bytes received.
    virtual void onDataReceived(TransferId id, std::size_t bytes) = 0;
    // Body bytes the server has acknowledged since the previous event of
    // this transfer (over TCP; elsewhere, bytes handed to the system), then
    // the running totals. The increments of one transfer add up to the
    // bytes really sent: its body size, unless the server answered with an
    // error before reading it all (curl then stops sending).
    virtual void onBodySent(TransferId id, std::int64_t sent, std::int64_t totalSent,
                            std::int64_t totalExpected) = 0;
    // Exactly once per started transfer.
    virtual void onComplete(TransferId id, const std::optional<HttpError> &error) = 0;
    // An upload's connection: the TCP round-trip estimate of this side, the
    // sender's, read with the acknowledged bytes.
    virtual void onRoundTrip(TransferId, std::uint32_t /*micros*/) {}
    // Just before onComplete: the body bytes the transfer moved, received or
    // (for an upload) reported by onBodySent. Counted from curl at the end,
    // so the byte events stay as cheap as they are.
    virtual void onBodyTotal(TransferId, std::int64_t) {}
};

class CurlApi;

struct HttpSessionConfig {
    std::chrono::milliseconds idleTimeout{60'000};
    int maxConnectionsPerHost = 0; // 0: no limit of ours
    std::shared_ptr<TransferObserver> observer; // kept alive by the session
    std::shared_ptr<CurlApi> curl; // the calls into libcurl; none: libcurl itself
    // HTTP/2 requests share a connection (streams); a transfer waits for
    // one it can share rather than open another. maxConnectionsPerHost then
    // counts connections, not transfers, and a transfer waiting for one is
    // idle already. Without it every transfer has a connection to itself.
    bool multiplex = false;
};

// Which HTTP a request speaks. http2 offers HTTP/2 on https (ALPN) and
// falls back to HTTP/1.1 where the server declines; on http it is HTTP/1.1.
// http2PriorKnowledge speaks HTTP/2 on http from the first byte too, so the
// server must know it.
enum class HttpVersion { http1_1, http2, http2PriorKnowledge };

struct HttpRequest {
    std::string url;
    HttpVersion version = HttpVersion::http1_1;
    std::string method = "GET"; // or "POST"
    std::chrono::milliseconds timeout{60'000}; // the whole request
    std::vector<std::pair<std::string, std::string>> headers;
    // A fetch on a connection of its own, closed after the response, so
    // that its timings include the connection's set-up.
    bool freshConnection = false;
};

// When each step of a fetch ended, in seconds from its start (curl's own
// timings); tlsRoundTrips is what its TLS handshake took: 1 for TLS 1.3,
// 2 before it, 0 without TLS.
struct FetchTimings {
    double nameLookup = 0, connect = 0, tlsDone = 0, total = 0;
    int tlsRoundTrips = 0;
};

struct HttpResponse {
    long status = 0;
    bool http2 = false; // the response came over HTTP/2
    std::vector<std::pair<std::string, std::string>> headers;
    QByteArray body;
    FetchTimings timings;
};

using FetchResult = std::variant<HttpResponse, HttpError>;

class HttpSession;

// A transfer created on a session and not yet started (like a platform
// task object). Cheap to copy; holds the session weakly.
class HttpTransfer {
public:
    HttpTransfer() = default;
    TransferId identifier() const { return m_id; }
    // Starts the transfer; its events follow, ending with one completion.
    // Does nothing if the session is gone or invalidated (a transfer started
    // on an invalidated session completes with cancelled).
    void resume() const;
    // Starts transfers of one session in a single hand-over to its I/O
    // thread, so they reach curl in the same pass: started together they
    // run on as many connections as there are transfers, where one at a
    // time a fast first one could end and lend its connection to a later one.
    static void resumeTogether(const std::vector<HttpTransfer> &transfers);

private:
    friend class HttpSession;
    HttpTransfer(std::weak_ptr<HttpSession> session, TransferId id)
        : m_session(std::move(session)), m_id(id) {}
    std::weak_ptr<HttpSession> m_session;
    TransferId m_id = 0;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    static std::shared_ptr<HttpSession> create(HttpSessionConfig config);
    // Stops the I/O thread; transfers still in flight end as on invalidate().
    ~HttpSession();

    HttpSession(const HttpSession &) = delete;
    HttpSession &operator=(const HttpSession &) = delete;

    // Whole response (status, headers, body) or an error; `done` runs once,
    // on the I/O thread. Not reported to the observer.
    void fetch(HttpRequest request, std::function<void(FetchResult)> done);

    // Not started; identifiers are unique within the session.
    HttpTransfer dataTransfer(HttpRequest request);
    // POST of an in-memory body that several transfers may share without copies.
    HttpTransfer uploadTransfer(HttpRequest request, QByteArray body);
    // POST of zeros, chunked, until the transfer is stopped or fails.
    HttpTransfer endlessUpload(HttpRequest request);

    // Every transfer in flight completes at once with cancelled; the session
    // becomes unusable. Returns immediately.
    void invalidate();

    struct Impl;

private:
    friend class HttpTransfer;
    explicit HttpSession(HttpSessionConfig config);
    void start(const std::vector<TransferId> &ids);
    std::unique_ptr<Impl> d;
};
