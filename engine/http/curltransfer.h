#pragma once
// One request of a session: what the caller asked for, its easy handle once
// started, and the state curl's callbacks keep while it runs. Built on any
// thread; started, driven and destroyed on the session's I/O thread only.
// The callbacks report to the observer (or collect a fetch's response) and
// never block or allocate on the data-received path.
#include "curlapi.h"
#include "curlhandle.h"
#include "httpsession.h"
#include "linkcount.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

// The sockets of one session's connections, so that an upload can find the
// one it was given: curl names a transfer's socket (CURLINFO_ACTIVESOCKET)
// only once the transfer is done. I/O thread only. Entries are never
// removed: a number curl closed and the system handed out again is found
// only if it is that same connection again (matched by both ports).
class ConnectionSockets {
public:
    void add(curl_socket_t socket);
    // The TCP socket with these local and peer ports, or CURL_SOCKET_BAD.
    curl_socket_t find(int localPort, int peerPort) const;

private:
    std::vector<curl_socket_t> m_sockets;
};

// What the I/O loop lends every transfer it starts; outlives them all.
struct TransferContext {
    CurlApi *curl = nullptr;
    TransferObserver *observer = nullptr;
    std::chrono::milliseconds idleTimeout{0}; // zero or less: none
    std::atomic<bool> cancelling{false}; // set by any thread; the callbacks stop early
    std::thread::id ioThread; // the one thread curl and its callbacks run on
    ConnectionSockets sockets;
    bool multiplex = false; // HttpSessionConfig::multiplex
    // I/O thread: the origins a transfer has asked to reach by HTTP/2 with
    // prior knowledge, so that later ones know a connection may be there.
    std::unordered_set<std::string> priorKnowledgeOrigins;
};

struct CurlTransfer {
    using Clock = std::chrono::steady_clock;
    enum class Kind { data, upload, fetch };

    CurlTransfer(TransferId id, Kind kind, HttpRequest request, QByteArray body = {},
                 std::function<void(FetchResult)> done = {});

    // Makes and configures the easy handle. On failure the transfer must be
    // finished with the returned error without being added to a multi handle.
    std::optional<HttpError> prepare(TransferContext *context);
    // The error a finished curl transfer ends with, if any.
    std::optional<HttpError> outcome(CURLcode result) const;
    // What onBodyTotal reports: body bytes received, or those reported sent.
    std::int64_t bodyBytes() const;
    // Body bytes the server has acknowledged, as far as the socket tells,
    // never more than curl has sent; curl's own count without TCP_INFO.
    std::int64_t bodyBytesAcked();
    // Reports what the socket tells beyond the last report: acknowledged
    // body bytes of an upload, body bytes of a download that arrived past a
    // gap. The I/O loop calls it between performs while readsLink().
    void reportLink();
    bool readsLink() const { return linkSocket != CURL_SOCKET_BAD && !abortReason; }
    // A finished fetch's timings and HTTP version into its response.
    void readTimings();
    // The last report, once the transfer is over: what curl moved of the body.
    void reportRest();

    // Scheme, host and port: what the per-host connection limit counts.
    std::string origin() const;
    // CURLOPT_HTTP_VERSION for the request's version; I/O thread.
    long curlHttpVersion() const;

    const TransferId id;
    const Kind kind;
    HttpRequest request;
    QByteArray body; // shared with the caller's other transfers, never copied
    bool endless = false; // an upload of zeros until it is stopped, instead of body
    std::int64_t expected() const { return endless ? -1 : body.size(); }
    std::function<void(FetchResult)> done;

    EasyHandle easy;
    HeaderList headerList;
    bool inMulti = false;
    // True during the I/O loop's pass that added it: its response head is
    // held back (curl keeps it paused) so that it cannot end and hand its
    // connection to a transfer started in the same pass; `heldBack` says
    // that curl is holding it.
    bool placing = false;
    bool heldBack = false;
    std::string slotKey; // the origin whose connection slot it holds, if any

    // Idle tracking, read by the I/O loop between performs.
    std::chrono::milliseconds idleTimeout{0}; // zero: none
    std::int64_t moved = 0; // any bytes in either direction, running count
    std::int64_t movedSeen = 0;
    Clock::time_point lastProgress;

    // Callback state.
    TransferContext *context = nullptr;
    std::optional<HttpError> abortReason; // set when one of our callbacks stops curl
    bool headDone = false;
    std::int64_t headBytes = 0;
    long blockStatus = 0; // of the header block being read, from its status line
    std::int64_t bodyLength = -1; // the response's Content-Length, if it has one
    std::int64_t curlMoved = 0; // body bytes curl sent to or read from the socket
    std::int64_t reported = 0; // running total of the increments reported, either direction
    // The connection's socket, whose counters tell what the link moved; none:
    // count what curl moved.
    curl_socket_t linkSocket = CURL_SOCKET_BAD;
    std::int64_t ackedBefore = 0; // upload: the socket's acked bytes before this request
    std::optional<HeldBytes> held; // download: bytes waiting past a gap
    HttpResponse response; // fetch only
    char errorBuffer[CURL_ERROR_SIZE] = {};
};
