#include "speedtestserver.h"

#include "faultplan.h"
#include "plainserver.h"
#include "query.h"

#include <httplib.h>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;

// Every download streams from this one buffer, a chunk at a time.
constexpr std::size_t chunkBytes = 256 * 1024;
const char zeros[chunkBytes] = {};

// A throttled server must be throttled on the wire too. With an auto-tuned
// receive buffer its kernel acknowledges megabytes of an upload that the
// reader has not taken yet, so a client counting acknowledged bytes saw up
// to nine times the throttle at the start of every batch. 5 ms of the
// throttle (the kernel doubles it) never holds the reader back on loopback
// or a LAN; longer paths want --socket-buffer.
int throttledReceiveBuffer(std::int64_t throttle)
{
    return static_cast<int>(std::clamp<std::int64_t>(throttle / 200, 16 * 1024, 4 * 1024 * 1024));
}

const char *downloadPath = "/__down";
const char *uploadPath = "/__up";
const char *discoveryPath = "/.well-known/nq";
const char *roundTripPath = "/__rtt";
// Names a plain connection's token in every download's head.
const char *connectionHeader = "Quorvel-Connection";

// The authority a client named in its Host header, if it is a plain
// host[:port]: it is written back into URLs, so nothing else passes.
bool plainAuthority(const std::string &host)
{
    if (host.empty() || host.size() > 255)
        return false;
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
    });
}

bool bodyAllowed(int status)
{
    return status >= 200 && status != 204 && status != 304;
}

std::string reasonLine(int status)
{
    switch (status) {
    case 400: return "bad request";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 408: return "request timeout";
    case 413: return "payload too large";
    case 414: return "URI too long";
    default: return "HTTP status " + std::to_string(status);
    }
}

void reply(Response &res, int status, const std::string &line)
{
    res.status = status;
    if (bodyAllowed(status))
        res.set_content(line + "\n", "text/plain");
}

// Closes the connection once this response is out. The library only sends
// the header; the connection loop does the closing (on plain connections).
void closeAfterResponse(Response &res)
{
    res.set_header("Connection", "close");
    if (Connection *connection = Connection::current())
        connection->closeAfterResponse();
}

// Cuts the connection without a response (where the socket is ours).
void cut(Response &res)
{
    if (Connection *connection = Connection::current())
        connection->abort(false);
    res.status = 503;
    closeAfterResponse(res);
}

// A request carries a body only with Content-Length or chunked coding; the
// library would otherwise read until the client closes.
bool hasBody(const Request &req)
{
    return req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
}

} // namespace

struct SpeedTestServer::Impl {
    struct Arrival {
        std::size_t slot = std::numeric_limits<std::size_t>::max();
        std::uint64_t generation = 0;
        FaultPlan plan;
    };

    explicit Impl(Options o) : options(std::move(o)) {}

    bool tls() const { return !options.certFile.empty() && !options.keyFile.empty(); }
    std::string authority() const // host:port as a URL has it
    {
        const bool v6 = options.host.find(':') != std::string::npos;
        return (v6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(boundPort);
    }
    void configure(httplib::Server &server);
    // ownBody: the request moves a body of its own, either way.
    Arrival arrive(const Request &req, bool ownBody);
    // Counts a moving body for FaultRule::whileBodiesMove while it lives.
    std::shared_ptr<void> bodyMoving();
    void setBodyBytes(const Arrival &arrival, std::int64_t bytes);
    bool sleepUntil(BodyFlow::Clock::time_point when);
    bool waitHead(const FaultPlan &plan);
    bool readBody(const Request &req, const ContentReader &reader, const FaultPlan &plan,
                  std::int64_t &received);

    void download(const Request &req, Response &res);
    void upload(const Request &req, Response &res, const ContentReader &reader);
    void discovery(const Request &req, Response &res);
    void roundTrip(const Request &req, Response &res);
    void other(const Request &req, Response &res, const ContentReader *reader);

    const Options options;
    std::unique_ptr<httplib::Server> http;
    PlainServer *plain = nullptr;
    std::thread thread;
    std::atomic<bool> listenEnded{false};
    std::atomic<int> listenFd{-1};
    int boundPort = 0;
    std::string error;
    std::mutex lifecycle; // start() and stop()

    mutable std::mutex mutex; // everything below
    std::condition_variable wake;
    bool stopping = false;
#ifdef QUORVEL_SERVER_TEST_HOOKS
    std::vector<FaultRule> faults;
    std::vector<RequestRecord> records;
    std::int64_t seen = 0;
    std::uint64_t generation = 0;
    int movingBodies = 0;
#endif
};

void SpeedTestServer::Impl::configure(httplib::Server &server)
{
    const auto threads = static_cast<std::size_t>(std::max(1, options.threads));
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Replaces the library's default, SO_REUSEPORT, which would let a second
    // server bind the same port and silently take half the connections.
    server.set_socket_options([this](int fd) {
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        tuneSocket(fd, options.socketBufferBytes);
        if (options.throttleBytesPerSecond > 0 && options.socketBufferBytes <= 0) {
            // Accepted connections inherit it.
            const int bytes = throttledReceiveBuffer(options.throttleBytesPerSecond);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
        }
        listenFd = fd;
    });
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1'000'000'000);
    server.set_keep_alive_timeout(options.keepAliveTimeout.count());
    server.set_read_timeout(options.ioTimeout);
    server.set_write_timeout(options.ioTimeout);
    server.set_payload_max_length(std::numeric_limits<std::size_t>::max());

    // Methods without handlers of ours would have their body read into memory.
    server.set_pre_routing_handler([this](const Request &req, Response &res) {
        static const char *const routed[] = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};
        for (const char *method : routed) {
            if (req.method == method)
                return httplib::Server::HandlerResponse::Unhandled;
        }
        const Arrival arrival = arrive(req, hasBody(req));
        reply(res, arrival.plan.statusOr(405), "method " + req.method + " not allowed");
        closeAfterResponse(res);
        return httplib::Server::HandlerResponse::Handled;
    });
    // The library's own refusals (malformed request, oversized head) get a line too.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request &, Response &res) {
        if (!res.body.empty() || res.content_provider_ || !bodyAllowed(res.status))
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(reasonLine(res.status) + "\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    }));

    server.Get(downloadPath, [this](const Request &req, Response &res) { download(req, res); });
    server.Get(discoveryPath, [this](const Request &req, Response &res) { discovery(req, res); });
    server.Get(roundTripPath, [this](const Request &req, Response &res) { roundTrip(req, res); });
    server.Post(uploadPath, [this](const Request &req, Response &res, const ContentReader &reader) {
        upload(req, res, reader);
    });
    // Everything else is still recorded, and its body drained, never kept.
    const auto plainOther = [this](const Request &req, Response &res) { other(req, res, nullptr); };
    const auto bodyOther = [this](const Request &req, Response &res, const ContentReader &reader) {
        other(req, res, &reader);
    };
    server.Get(".*", plainOther);
    server.Options(".*", plainOther);
    server.Post(".*", bodyOther);
    server.Put(".*", bodyOther);
    server.Patch(".*", bodyOther);
    server.Delete(".*", bodyOther);
}

SpeedTestServer::Impl::Arrival SpeedTestServer::Impl::arrive(const Request &req, [[maybe_unused]] bool ownBody)
{
    Arrival arrival;
    arrival.plan = FaultPlan::serverWide(options.throttleBytesPerSecond, options.delay);
#ifdef QUORVEL_SERVER_TEST_HOOKS
    std::lock_guard lock(mutex);
    ++seen;
    if (options.recordRequests) {
        arrival.slot = records.size();
        records.push_back({req.method, req.path, std::string(queryOf(req.target)),
                           req.get_header_value("Content-Type"), 0, req.remote_port});
    }
    arrival.generation = generation;
    arrival.plan.apply(faults, seen, req.path, !ownBody && movingBodies > 0);
#else
    (void)req;
#endif
    return arrival;
}

std::shared_ptr<void> SpeedTestServer::Impl::bodyMoving()
{
#ifdef QUORVEL_SERVER_TEST_HOOKS
    std::lock_guard lock(mutex);
    ++movingBodies;
    return std::shared_ptr<void>(nullptr, [this](void *) {
        std::lock_guard lock(mutex);
        --movingBodies;
    });
#else
    return {};
#endif
}

void SpeedTestServer::Impl::setBodyBytes([[maybe_unused]] const Arrival &arrival,
                                         [[maybe_unused]] std::int64_t bytes)
{
#ifdef QUORVEL_SERVER_TEST_HOOKS
    std::lock_guard lock(mutex);
    if (arrival.generation == generation && arrival.slot < records.size())
        records[arrival.slot].bodyBytes = bytes;
#endif
}

bool SpeedTestServer::Impl::sleepUntil(BodyFlow::Clock::time_point when)
{
    std::unique_lock lock(mutex);
    return !wake.wait_until(lock, when, [this] { return stopping; });
}

bool SpeedTestServer::Impl::waitHead(const FaultPlan &plan)
{
    if (plan.headDelay <= std::chrono::milliseconds(0)) {
        std::lock_guard lock(mutex);
        return !stopping;
    }
    return sleepUntil(BodyFlow::Clock::now() + plan.headDelay);
}

bool SpeedTestServer::Impl::readBody(const Request &req, const ContentReader &reader,
                                     const FaultPlan &plan, std::int64_t &received)
{
    received = 0;
    if (!hasBody(req))
        return true;
    BodyFlow flow(plan, [this](auto when) { return sleepUntil(when); });
    const auto goOn = [&](BodyFlow::Step step) {
        if (step == BodyFlow::Step::close) {
            if (Connection *connection = Connection::current())
                connection->abort(plan.reset);
        }
        return step == BodyFlow::Step::go;
    };
    if (!goOn(flow.at(0))) // stall or close before the first byte
        return false;
    return reader([&](const char *, std::size_t n) {
        received += static_cast<std::int64_t>(n);
        return goOn(flow.at(received)) && flow.moved(received);
    });
}

void SpeedTestServer::Impl::download(const Request &req, Response &res)
{
    ByteCount bytes = parseByteCount(queryOf(req.target), maxBytes);
    const Arrival arrival = arrive(req, bytes.error.empty() && bytes.value > 0);
    if (arrival.plan.bodyBytes >= 0 && bytes.error.empty())
        bytes.value = arrival.plan.bodyBytes;
    if (!waitHead(arrival.plan))
        return cut(res);
    res.set_header("Cache-Control", "no-store");
    if (Connection *connection = Connection::current(); connection && !connection->token().empty())
        res.set_header(connectionHeader, connection->token());
    if (!bytes.error.empty())
        return reply(res, arrival.plan.statusOr(400), bytes.error);
    res.status = arrival.plan.statusOr(200);
    if (arrival.plan.closeAfter >= bytes.value || !bodyAllowed(res.status))
        closeAfterResponse(res); // nothing to cut short: close once it is out
    if (!bodyAllowed(res.status))
        return;
    if (bytes.value == 0)
        return res.set_content("", "application/octet-stream");

    auto flow = std::make_shared<BodyFlow>(arrival.plan, [this](auto when) { return sleepUntil(when); });
    const bool reset = arrival.plan.reset;
    res.set_content_provider(
        static_cast<std::size_t>(bytes.value), "application/octet-stream",
        [flow, reset, moving = bodyMoving()](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            const auto pos = static_cast<std::int64_t>(offset);
            switch (flow->at(pos)) {
            case BodyFlow::Step::go: break;
            case BodyFlow::Step::close:
                if (Connection *connection = Connection::current())
                    connection->abort(reset);
                return false;
            case BodyFlow::Step::stop: return false;
            }
            const std::size_t n = flow->allowance(pos, std::min(length, chunkBytes));
            return sink.write(zeros, n) && flow->moved(pos + static_cast<std::int64_t>(n));
        });
}

void SpeedTestServer::Impl::upload(const Request &req, Response &res, const ContentReader &reader)
{
    const Arrival arrival = arrive(req, hasBody(req));
    std::int64_t received = 0;
    const bool complete = [&] {
        const auto moving = bodyMoving();
        return readBody(req, reader, arrival.plan, received);
    }();
    setBodyBytes(arrival, received);
    if (!complete) {
        reply(res, 400, "upload: the body ended early");
        return closeAfterResponse(res);
    }
    if (!waitHead(arrival.plan))
        return cut(res);
    res.status = arrival.plan.statusOr(200);
    if (arrival.plan.closeAfter >= 0)
        closeAfterResponse(res);
}

// The responsiveness configuration: a large download this server cannot
// finish in any test, a one-byte download, and the upload, named as the
// client named this server (behind a TLS proxy, with the scheme it saw).
void SpeedTestServer::Impl::discovery(const Request &req, Response &res)
{
    const Arrival arrival = arrive(req, false);
    if (!waitHead(arrival.plan))
        return cut(res);
    res.set_header("Cache-Control", "no-store");
    std::string authority = req.get_header_value("Host");
    if (!req.has_header("Host"))
        authority = this->authority();
    if (!plainAuthority(authority))
        return reply(res, arrival.plan.statusOr(400), "the Host header is not a host and port");
    std::string scheme = tls() ? "https" : "http";
    if (const std::string proto = req.get_header_value("X-Forwarded-Proto"); proto == "https" || proto == "http")
        scheme = proto;
    const std::string origin = scheme + "://" + authority;
    res.status = arrival.plan.statusOr(200);
    if (arrival.plan.closeAfter >= 0)
        closeAfterResponse(res);
    res.set_content("{\"version\":1,\"urls\":{\"large_download_url\":\"" + origin + downloadPath
                        + "?bytes=" + std::to_string(maxBytes) + "\",\"small_download_url\":\"" + origin
                        + downloadPath + "?bytes=1\",\"upload_url\":\"" + origin + uploadPath + "\"}}\n",
                    "application/json");
}

// How a download connection fares, as this side's kernel sees it: on a
// download only the sender's round-trip estimate follows the queue.
void SpeedTestServer::Impl::roundTrip(const Request &req, Response &res)
{
    const Arrival arrival = arrive(req, false);
    if (!waitHead(arrival.plan))
        return cut(res);
    res.set_header("Cache-Control", "no-store");
    const std::optional<std::string> token = queryParam(queryOf(req.target), "connection");
    const std::optional<TcpRoundTrip> rtt = plain && token ? plain->roundTrip(*token) : std::nullopt;
    if (!rtt)
        return reply(res, arrival.plan.statusOr(404), "no such connection");
    res.status = arrival.plan.statusOr(200);
    res.set_content("{\"rtt_us\":" + std::to_string(rtt->rttMicros) + ",\"rttvar_us\":"
                        + std::to_string(rtt->rttVarMicros) + "}\n",
                    "application/json");
}

void SpeedTestServer::Impl::other(const Request &req, Response &res, const ContentReader *reader)
{
    const Arrival arrival = arrive(req, reader && hasBody(req));
    if (reader) {
        std::int64_t received = 0;
        const bool complete = readBody(req, *reader, arrival.plan, received);
        setBodyBytes(arrival, received);
        if (!complete) {
            reply(res, 400, "the body ended early");
            return closeAfterResponse(res);
        }
    }
    if (!waitHead(arrival.plan))
        return cut(res);
    if (arrival.plan.closeAfter >= 0)
        closeAfterResponse(res);
    if (req.path == downloadPath || req.path == uploadPath || req.path == discoveryPath || req.path == roundTripPath) {
        res.set_header("Allow", req.path == uploadPath ? "POST" : "GET, HEAD");
        return reply(res, arrival.plan.statusOr(405),
                     "method " + req.method + " not allowed on " + req.path);
    }
    reply(res, arrival.plan.statusOr(404), "not found");
}

SpeedTestServer::SpeedTestServer(Options options) : m_impl(std::make_unique<Impl>(std::move(options)))
{
}

SpeedTestServer::~SpeedTestServer()
{
    stop();
}

bool SpeedTestServer::start()
{
    Impl &d = *m_impl;
    std::lock_guard lifecycle(d.lifecycle);
    if (d.http) {
        d.error = "the server was started before";
        return false;
    }
    if (d.tls()) {
        auto server = std::make_unique<httplib::SSLServer>(d.options.certFile.c_str(),
                                                           d.options.keyFile.c_str());
        if (!server->is_valid()) {
            d.error = "cannot load the certificate " + d.options.certFile + " or the key "
                + d.options.keyFile;
            return false;
        }
        d.http = std::move(server);
    } else {
        auto server = std::make_unique<PlainServer>();
        server->setTimeouts(d.options.keepAliveTimeout, d.options.ioTimeout);
        server->setSocketBuffer(d.options.socketBufferBytes);
        d.plain = server.get();
        d.http = std::move(server);
    }
    d.configure(*d.http);

    const int port = d.options.port == 0
        ? d.http->bind_to_any_port(d.options.host)
        : (d.http->bind_to_port(d.options.host, d.options.port) ? d.options.port : -1);
    if (port <= 0) {
        d.error = "cannot listen on " + d.options.host + " port " + std::to_string(d.options.port);
        return false;
    }
    d.boundPort = port;
    // The library listens with a backlog of 5; a burst of parallel connects
    // would overflow it and wait for SYN retransmits.
    if (d.listenFd >= 0)
        ::listen(d.listenFd, SOMAXCONN);

    d.thread = std::thread([&d] {
        d.http->listen_after_bind();
        d.listenEnded = true;
    });
    // stop() is a no-op until the library marks itself running, so do not
    // return before it does.
    while (!d.http->is_running() && !d.listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (d.listenEnded) {
        d.thread.join();
        d.error = "the server stopped at once";
        return false;
    }
    return true;
}

void SpeedTestServer::stop()
{
    Impl &d = *m_impl;
    std::lock_guard lifecycle(d.lifecycle);
    {
        std::lock_guard lock(d.mutex);
        d.stopping = true;
    }
    d.wake.notify_all();
    if (d.plain)
        d.plain->stopConnections();
    if (d.http)
        d.http->stop();
    if (d.thread.joinable())
        d.thread.join();
}

int SpeedTestServer::port() const
{
    return m_impl->boundPort;
}

std::string SpeedTestServer::url() const
{
    return (m_impl->tls() ? "https://" : "http://") + m_impl->authority();
}

std::string SpeedTestServer::errorString() const
{
    return m_impl->error;
}

#ifdef QUORVEL_SERVER_TEST_HOOKS
void SpeedTestServer::addFault(FaultRule rule)
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->faults.push_back(std::move(rule));
}

void SpeedTestServer::clearFaults()
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->faults.clear();
}

std::vector<RequestRecord> SpeedTestServer::requests() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->records;
}

void SpeedTestServer::clearRequests()
{
    std::lock_guard lock(m_impl->mutex);
    m_impl->records.clear();
    m_impl->seen = 0;
    ++m_impl->generation;
}
#endif
