#include "curltransfer.h"

#include "curlerror.h"

#include <QUrl>
#include <QtGlobal>

#include <algorithm>
#include <charconv>
#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

namespace {
using Code = HttpError::Code;

// 2.4x the loopback throughput of curl's 16 KiB default at a third of the CPU.
constexpr long kReceiveBufferBytes = 512 * 1024;
// curl fills a fresh buffer of this size before an upload's first byte goes
// out, and every transfer has a buffer of its own. At 1 MiB that first fill
// (page faults, mostly) took 3.5 ms here, one upload after the other, and
// uploads over a 1 Gbit/s link read 2 to 4 % low; at 64 KiB, a few tenths of
// a percent, as iperf3 does.
constexpr long kUploadBufferBytes = 64 * 1024;
// Without a low-water mark the kernel takes megabytes of body at once: the
// sent-byte events run far ahead of the wire, and a slow link looks idle
// while that backlog drains. With it, curl writes as the bytes really leave.
constexpr int kUnsentLowWaterBytes = 256 * 1024;
// A fetch keeps its body in memory; a server must not be able to exhaust it.
constexpr qsizetype kMaxFetchBodyBytes = 64 * 1024 * 1024;
constexpr std::int64_t kMaxHeadBytes = 256 * 1024;

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

bool isToken(std::string_view s)
{
    static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
            || extra.find(c) != std::string_view::npos;
    });
}

bool isFieldValue(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host.endsWith(QLatin1String(".localhost"), Qt::CaseInsensitive))
        return true;
    const QByteArray text = host.toLatin1();
    in_addr v4{};
    if (inet_pton(AF_INET, text.constData(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, text.constData(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Every callback starts here: curl and the transfer belong to the I/O thread.
CurlTransfer *onIoThread(void *userdata)
{
    auto *t = static_cast<CurlTransfer *>(userdata);
    Q_ASSERT(std::this_thread::get_id() == t->context->ioThread);
    return t;
}

bool stopRequested(CurlTransfer *t)
{
    if (!t->context->cancelling.load(std::memory_order_relaxed))
        return false;
    t->abortReason = HttpError(Code::cancelled, {});
    return true;
}

// Round trips of the connection's TLS handshake: read while the
// connection is still there. Another TLS library than OpenSSL: assume 1.3.
int tlsRoundTrips(CURL *easy)
{
    const curl_tlssessioninfo *info = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info
        || info->backend == CURLSSLBACKEND_NONE || !info->internals)
        return 0;
    if (info->backend != CURLSSLBACKEND_OPENSSL)
        return 1;
    return SSL_version(static_cast<const SSL *>(info->internals)) >= TLS1_3_VERSION ? 1 : 2;
}

// One line of a response head; false stops the transfer.
bool onHeaderLine(CurlTransfer *t, const char *data, size_t n)
{
    t->moved += std::int64_t(n);
    if (t->headDone)
        return true; // trailers after a chunked body
    t->headBytes += std::int64_t(n);
    if (t->headBytes > kMaxHeadBytes) {
        t->abortReason = HttpError(Code::badServerResponse,
                                   QStringLiteral("The server's response head is too large."));
        return false;
    }
    const std::string_view line = trimmed(std::string_view(data, n));
    if (line.empty()) {
        // The end of a header block: interim (1xx) blocks are skipped, the
        // final one is the response head.
        long status = t->blockStatus;
        if (status == 0 && curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
            status = 0;
        t->blockStatus = 0;
        if (status >= 100 && status < 200) {
            t->response.headers.clear();
            return true;
        }
        t->headDone = true;
        t->response.status = status;
        if (t->kind == CurlTransfer::Kind::fetch)
            t->response.timings.tlsRoundTrips = tlsRoundTrips(t->easy.get());
        curl_off_t length = -1;
        if (curl_easy_getinfo(t->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
            t->bodyLength = length;
        if (stopRequested(t))
            return false;
        if (t->kind != CurlTransfer::Kind::fetch
            && t->context->observer->onResponse(t->id, status) == ResponseDisposition::cancel) {
            // Stopping here makes curl end before reading any of the body.
            t->abortReason = HttpError(Code::cancelled, {});
            return false;
        }
        return true;
    }
    auto &headers = t->response.headers;
    if (line.substr(0, 5) == "HTTP/") {
        // Held-back lines arrive after curl has read further heads, so each
        // block's status is read from its own status line.
        const auto space = line.find(' ');
        if (space != std::string_view::npos && line.size() >= space + 4)
            std::from_chars(line.data() + space + 1, line.data() + space + 4, t->blockStatus);
        headers.clear();
    } else if (t->kind != CurlTransfer::Kind::fetch) {
        return true;
    } else if ((data[0] == ' ' || data[0] == '\t') && !headers.empty()) {
        headers.back().second.append(" ").append(line); // obsolete line folding
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                             std::string(trimmed(line.substr(colon + 1))));
    }
    return true;
}

size_t onHeader(char *data, size_t, size_t n, void *userdata) noexcept
{
    CurlTransfer *const t = onIoThread(userdata);
    if (t->placing) {
        t->heldBack = true;
        return CURL_WRITEFUNC_PAUSE; // delivered again once the pass is over
    }
    // One line per call, except for held-back lines: those come all at once.
    for (size_t at = 0; at < n;) {
        const void *newline = std::memchr(data + at, '\n', n - at);
        const size_t len = newline ? size_t(static_cast<const char *>(newline) - (data + at)) + 1 : n - at;
        if (!onHeaderLine(t, data + at, len))
            return 0;
        at += len;
    }
    return n;
}

size_t onWrite(char *data, size_t, size_t n, void *userdata) noexcept
{
    CurlTransfer *const t = onIoThread(userdata);
    if (stopRequested(t))
        return 0;
    t->moved += std::int64_t(n);
    if (t->kind == CurlTransfer::Kind::fetch) {
        if (t->response.body.size() + qsizetype(n) > kMaxFetchBodyBytes) {
            t->abortReason = HttpError(Code::badServerResponse,
                                       QStringLiteral("The server's response is too large."));
            return 0;
        }
        t->response.body.append(data, qsizetype(n));
        return n;
    }
    if (t->kind == CurlTransfer::Kind::upload) {
        t->context->observer->onDataReceived(t->id, n); // the reply; an upload counts what it sends
        return n;
    }
    // What the socket holds past a gap may have been counted already (reportLink).
    t->curlMoved += std::int64_t(n);
    if (t->curlMoved > t->reported) {
        t->context->observer->onDataReceived(t->id, std::size_t(t->curlMoved - t->reported));
        t->reported = t->curlMoved;
    }
    return n;
}

int portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return -1;
}

// The connection is ready, new or kept alive, and this request's first byte
// is still to be written: what the socket has counted so far belongs to the
// handshakes and to earlier requests.
int onRequestReady(void *userdata, char *, char *, int peerPort, int localPort) noexcept
{
    CurlTransfer *const t = onIoThread(userdata);
    t->linkSocket = t->context->sockets.find(localPort, peerPort);
    if (t->linkSocket == CURL_SOCKET_BAD)
        return CURL_PREREQFUNC_OK;
    if (t->kind == CurlTransfer::Kind::upload) {
        if (const auto acked = tcpBytesAcked(t->linkSocket))
            t->ackedBefore = *acked;
        else
            t->linkSocket = CURL_SOCKET_BAD;
    } else if (const auto received = tcpReceived(t->linkSocket)) {
        t->held.emplace(*received);
    } else {
        t->linkSocket = CURL_SOCKET_BAD;
    }
    return CURL_PREREQFUNC_OK;
}

int onProgress(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) noexcept
{
    CurlTransfer *const t = onIoThread(userdata);
    if (stopRequested(t))
        return 1;
    if (ulnow > t->curlMoved) {
        t->moved += ulnow - t->curlMoved;
        t->curlMoved = ulnow;
    }
    // The kernel takes megabytes before the server has them; counting them
    // on the way in made the live rate run up to three times the link. Where
    // the socket tells what was acknowledged, reportLink() counts that.
    if (t->linkSocket == CURL_SOCKET_BAD && t->curlMoved > t->reported) {
        t->context->observer->onBodySent(t->id, t->curlMoved - t->reported, t->curlMoved, t->expected());
        t->reported = t->curlMoved;
    }
    return 0;
}

// An endless body: zeros for as long as curl asks.
size_t onReadZeros(char *buffer, size_t size, size_t count, void *userdata) noexcept
{
    CurlTransfer *const t = onIoThread(userdata);
    if (stopRequested(t))
        return CURL_READFUNC_ABORT;
    std::memset(buffer, 0, size * count);
    return size * count;
}

int onSocketCreated(void *userdata, curl_socket_t socket, curlsocktype purpose) noexcept
{
    auto *const context = static_cast<TransferContext *>(userdata);
    Q_ASSERT(std::this_thread::get_id() == context->ioThread);
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKOPT_OK;
    context->sockets.add(socket);
    // Best effort: a kernel without it only buffers more.
    const int lowWater = kUnsentLowWaterBytes;
    setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
    return CURL_SOCKOPT_OK;
}

HttpError setupError(const QString &what)
{
    return HttpError(Code::setupFailed, QStringLiteral("The request could not be set up: %1").arg(what));
}
} // namespace

void ConnectionSockets::add(curl_socket_t socket)
{
    if (std::find(m_sockets.begin(), m_sockets.end(), socket) == m_sockets.end())
        m_sockets.push_back(socket);
}

curl_socket_t ConnectionSockets::find(int localPort, int peerPort) const
{
    for (const curl_socket_t socket : m_sockets) {
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (getsockname(socket, reinterpret_cast<sockaddr *>(&local), &localLength) == 0
            && portOf(local) == localPort
            && getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0
            && portOf(peer) == peerPort)
            return socket;
    }
    return CURL_SOCKET_BAD;
}

CurlTransfer::CurlTransfer(TransferId id, Kind kind, HttpRequest request, QByteArray body,
                           std::function<void(FetchResult)> done)
    : id(id), kind(kind), request(std::move(request)), body(std::move(body)), done(std::move(done))
{
}

std::optional<HttpError> CurlTransfer::prepare(TransferContext *transferContext)
{
    context = transferContext;
    idleTimeout = std::max(context->idleTimeout, std::chrono::milliseconds(0));

    const bool sendsBody = kind == Kind::upload || request.method == "POST";
    bool hasCacheControl = false, hasPragma = false, hasExpect = false, hasContentType = false;
    std::vector<std::string> lines;
    for (const auto &[name, value] : request.headers) {
        if (!isToken(name) || !isFieldValue(value))
            return HttpError(Code::setupFailed, QStringLiteral("The request has an invalid header field."));
        hasCacheControl |= sameName(name, "Cache-Control");
        hasPragma |= sameName(name, "Pragma");
        hasExpect |= sameName(name, "Expect");
        hasContentType |= sameName(name, "Content-Type");
        lines.push_back(name + ": " + value);
    }
    // Every request must reach the server, never a cache on the way.
    if (!hasCacheControl)
        lines.emplace_back("Cache-Control: no-cache");
    if (!hasPragma)
        lines.emplace_back("Pragma: no-cache");
    if (sendsBody && !hasExpect)
        lines.emplace_back("Expect:"); // no 100-continue round trip before the body
    if (sendsBody && !hasContentType)
        lines.emplace_back("Content-Type:"); // not curl's form-encoding default
    for (const auto &line : lines) {
        curl_slist *grown = curl_slist_append(headerList.get(), line.c_str());
        if (!grown)
            return setupError(QStringLiteral("out of memory"));
        if (!headerList)
            headerList.reset(grown); // later appends keep the same head

    }

    const std::string &method = request.method;
    if (request.url.find('\0') != std::string::npos
        || (!method.empty() && !isToken(method)))
        return HttpError(Code::setupFailed, QStringLiteral("The URL is not supported."));

    QString host = QUrl(QString::fromStdString(request.url)).host();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    // Names under .invalid never resolve (RFC 6761): answer without sending
    // a query anywhere.
    if (host.compare(QLatin1String("invalid"), Qt::CaseInsensitive) == 0
        || host.endsWith(QLatin1String(".invalid"), Qt::CaseInsensitive))
        return HttpError(Code::cannotFindHost, {});

    easy = adoptEasyHandle(context->curl->easyInit());
    if (!easy)
        return setupError(QStringLiteral("curl could not make a handle for it"));
    EasyOptions o(easy.get());
    o.set(CURLOPT_PRIVATE, static_cast<void *>(this))
        .set(CURLOPT_ERRORBUFFER, errorBuffer)
        .set(CURLOPT_URL, request.url.c_str())
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_PROTOCOLS_STR, "http,https")
        .set(CURLOPT_HTTP_VERSION, curlHttpVersion())
        .set(CURLOPT_FOLLOWLOCATION, 0L)
        .set(CURLOPT_NETRC, long(CURL_NETRC_IGNORED))
        .set(CURLOPT_SSL_VERIFYPEER, 1L)
        .set(CURLOPT_SSL_VERIFYHOST, 2L)
        .set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L)
        .set(CURLOPT_BUFFERSIZE, kReceiveBufferBytes)
        .set(CURLOPT_HTTPHEADER, headerList.get())
        .set(CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(&onHeader))
        .set(CURLOPT_HEADERDATA, static_cast<void *>(this))
        .set(CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(&onWrite))
        .set(CURLOPT_WRITEDATA, static_cast<void *>(this))
        .set(CURLOPT_SOCKOPTFUNCTION, static_cast<curl_sockopt_callback>(&onSocketCreated))
        .set(CURLOPT_SOCKOPTDATA, static_cast<void *>(context));
    if (idleTimeout.count() > 0)
        o.set(CURLOPT_CONNECTTIMEOUT_MS, long(idleTimeout.count()));
    // Every byte resets the idle clock, so only a limit on the whole request
    // stops a server that trickles.
    if (request.timeout.count() > 0)
        o.set(CURLOPT_TIMEOUT_MS, long(request.timeout.count()));
    // Our own network's servers are reached directly even when a proxy is
    // configured in the environment.
    if (isLoopbackHost(host))
        o.set(CURLOPT_PROXY, "");

    if (kind == Kind::upload) {
        // The body is read in place; `body` keeps the shared bytes alive
        // until this transfer is destroyed.
        o.set(CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
        if (endless) // of unknown length, so sent chunked
            o.set(CURLOPT_POST, 1L)
                .set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(-1))
                .set(CURLOPT_READFUNCTION, static_cast<curl_read_callback>(&onReadZeros))
                .set(CURLOPT_READDATA, static_cast<void *>(this));
        else
            o.set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size())).set(CURLOPT_POSTFIELDS, body.constData());
        o.set(CURLOPT_NOPROGRESS, 0L)
            .set(CURLOPT_XFERINFOFUNCTION, static_cast<curl_xferinfo_callback>(&onProgress))
            .set(CURLOPT_XFERINFODATA, static_cast<void *>(this));
        if (method != "POST" && method != "GET" && !method.empty())
            o.set(CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "POST") {
        o.set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0)).set(CURLOPT_POSTFIELDS, "");
    } else if (method == "HEAD") {
        o.set(CURLOPT_NOBODY, 1L);
    } else if (method != "GET" && !method.empty()) {
        o.set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    if (request.freshConnection)
        o.set(CURLOPT_FRESH_CONNECT, 1L).set(CURLOPT_FORBID_REUSE, 1L);
    if (context->multiplex)
        o.set(CURLOPT_PIPEWAIT, 1L);
    if (kind != Kind::fetch)
        o.set(CURLOPT_PREREQFUNCTION, static_cast<curl_prereq_callback>(&onRequestReady))
            .set(CURLOPT_PREREQDATA, static_cast<void *>(this));
    if (o.result() != CURLE_OK)
        return setupError(QStringLiteral("%1 (option %2)")
                              .arg(QString::fromUtf8(curl_easy_strerror(o.result())))
                              .arg(int(o.failedOption())));
    return std::nullopt;
}

long CurlTransfer::curlHttpVersion() const
{
    switch (request.version) {
    case HttpVersion::http1_1:
        break;
    case HttpVersion::http2:
        return CURL_HTTP_VERSION_2TLS;
    case HttpVersion::http2PriorKnowledge:
        // libcurl 7.88 fails a transfer that asks for prior knowledge on a
        // connection it reuses (CURLE_HTTP2 before a byte is sent): only a
        // transfer that opens one asks for it. The others ask for HTTP/2,
        // which takes an HTTP/2 connection as it is; should they have to open
        // one after all, they offer HTTP/2 by an Upgrade header.
        if (request.freshConnection || context->priorKnowledgeOrigins.insert(origin()).second)
            return CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
        return CURL_HTTP_VERSION_2_0;
    }
    return CURL_HTTP_VERSION_1_1;
}

std::optional<HttpError> CurlTransfer::outcome(CURLcode result) const
{
    if (result == CURLE_OK)
        return std::nullopt;
    // curl reports our own stops as write or callback errors; keep our reason.
    if (abortReason)
        return abortReason;
    long osErrno = 0;
    if (curl_easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &osErrno) != CURLE_OK)
        osErrno = 0;
    return httpErrorFromCurl(result, osErrno, std::string_view(errorBuffer));
}

std::int64_t CurlTransfer::bodyBytes() const
{
    if (kind == Kind::upload)
        return reported;
    curl_off_t received = 0;
    if (!easy || curl_easy_getinfo(easy.get(), CURLINFO_SIZE_DOWNLOAD_T, &received) != CURLE_OK)
        return 0;
    return received;
}

std::int64_t CurlTransfer::bodyBytesAcked()
{
    if (linkSocket == CURL_SOCKET_BAD)
        return curlMoved;
    const auto acked = tcpBytesAcked(linkSocket);
    long head = 0; // this request's head: zero until it has been written
    if (!acked || curl_easy_getinfo(easy.get(), CURLINFO_REQUEST_SIZE, &head) != CURLE_OK) {
        linkSocket = CURL_SOCKET_BAD;
        return curlMoved;
    }
    // On https the socket counts TLS records, a little more than the body;
    // the clamp keeps the count within what curl sent, and the completion
    // settles the rest. So does it for a body small enough for curl to send
    // with its head, which the head size then includes.
    return std::clamp<std::int64_t>(*acked - ackedBefore - head, 0, curlMoved);
}

void CurlTransfer::reportLink()
{
    TransferObserver *const observer = context->observer;
    if (kind == Kind::upload) {
        // Only the responsiveness load reads the round trip; the speed
        // test's uploads keep to one socket read a report.
        if (const auto rtt = endless ? tcpRoundTripMicros(linkSocket) : std::nullopt)
            observer->onRoundTrip(id, *rtt);
        if (const std::int64_t acked = bodyBytesAcked(); acked > reported) {
            observer->onBodySent(id, acked - reported, acked, expected());
            reported = acked;
        }
        return;
    }
    // Past a gap TCP keeps what arrives until the retransmission fills the
    // gap, then hands it over at once: counted as read, that release showed
    // as speed the link never had. The body's length bounds the estimate.
    if (!headDone || bodyLength < 0 || !held)
        return;
    const auto received = tcpReceived(linkSocket);
    if (!received) {
        linkSocket = CURL_SOCKET_BAD;
        return;
    }
    const std::int64_t arrived = std::min(curlMoved + held->update(*received), bodyLength);
    if (arrived > reported) {
        observer->onDataReceived(id, std::size_t(arrived - reported));
        reported = arrived;
    }
}

void CurlTransfer::readTimings()
{
    FetchTimings &t = response.timings;
    for (const auto &[info, into] : {std::pair{CURLINFO_NAMELOOKUP_TIME_T, &t.nameLookup},
                                     std::pair{CURLINFO_CONNECT_TIME_T, &t.connect},
                                     std::pair{CURLINFO_APPCONNECT_TIME_T, &t.tlsDone},
                                     std::pair{CURLINFO_TOTAL_TIME_T, &t.total}}) {
        curl_off_t micros = 0;
        if (curl_easy_getinfo(easy.get(), info, &micros) == CURLE_OK)
            *into = double(micros) / 1e6;
    }
    long version = 0;
    response.http2 = curl_easy_getinfo(easy.get(), CURLINFO_HTTP_VERSION, &version) == CURLE_OK
        && version == CURL_HTTP_VERSION_2_0;
}

void CurlTransfer::reportRest()
{
    if (kind != Kind::upload)
        return; // a download's reads were all reported as they came
    // The progress callback runs between reads and writes; report what went
    // out after its last call so the increments add up.
    curl_off_t sent = 0;
    if (curl_easy_getinfo(easy.get(), CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK && sent > reported) {
        context->observer->onBodySent(id, sent - reported, sent, expected());
        reported = sent;
    }
}

std::string CurlTransfer::origin() const
{
    const QUrl url(QString::fromStdString(request.url));
    if (!url.isValid() || url.host().isEmpty())
        return request.url;
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    return (url.scheme().toLower() + QStringLiteral("://") + url.host().toLower() + QLatin1Char(':')
            + QString::number(port))
        .toStdString();
}
