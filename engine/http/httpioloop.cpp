#include "httpioloop.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
using Code = HttpError::Code;
using std::chrono::milliseconds;

// How long the loop sleeps when nothing at all is pending; any new work
// wakes it at once.
constexpr milliseconds kNothingPendingWait = std::chrono::hours(1);
// Socket counters wake nobody: while a transfer reads them, the loop looks
// this often, so the count it reports is never older than this.
constexpr milliseconds kLinkReadInterval{10};

class SilentObserver final : public TransferObserver {
public:
    ResponseDisposition onResponse(TransferId, long) override { return ResponseDisposition::allow; }
    void onDataReceived(TransferId, std::size_t) override {}
    void onBodySent(TransferId, std::int64_t, std::int64_t, std::int64_t) override {}
    void onComplete(TransferId, const std::optional<HttpError> &) override {}
};

// curl's own text for the code, so that the cause can be named.
HttpError clientFailure(const char *call, const char *text, int code)
{
    return HttpError(Code::clientFailed, QStringLiteral("The HTTP client failed: %1 returned \u201c%2\u201d (%3).")
                                             .arg(QLatin1String(call), QString::fromUtf8(text))
                                             .arg(code));
}

HttpError clientFailure(const char *call, CURLMcode rc)
{
    return clientFailure(call, curl_multi_strerror(rc), rc);
}
} // namespace

HttpIoLoop::HttpIoLoop(HttpSessionConfig config)
    : m_config(std::move(config)), m_curl(m_config.curl ? m_config.curl : std::make_shared<CurlApi>())
{
    static SilentObserver silent;
    m_context.curl = m_curl.get();
    m_context.observer = m_config.observer ? m_config.observer.get() : &silent;
    m_context.idleTimeout = m_config.idleTimeout;
    m_context.multiplex = m_config.multiplex;
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ensureCurlInitialised();
    m_multi.reset(m_curl->multiInit());
    if (!m_multi) {
        m_broken = HttpError(Code::clientFailed,
                             QStringLiteral("The HTTP client failed: curl could not make its multi handle."));
        return;
    }
    // One connection per transfer, so parallel transfers measure parallel
    // connections, unless the session asks for HTTP/2's streams.
    CURLMcode rc = m_curl->multiSetopt(m_multi.get(), CURLMOPT_PIPELINING,
                                       long(m_config.multiplex ? CURLPIPE_MULTIPLEX : CURLPIPE_NOTHING));
    if (rc == CURLM_OK && m_config.maxConnectionsPerHost > 0)
        rc = m_curl->multiSetopt(m_multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, long(m_config.maxConnectionsPerHost));
    // Keep every connection of a batch for the next one: by default the
    // cache shrinks with the number of transfers and drops one between
    // batches, which then pays for a new connection inside its timing.
    if (rc == CURLM_OK)
        rc = m_curl->multiSetopt(m_multi.get(), CURLMOPT_MAXCONNECTS,
                                 long(std::max(8, 2 * m_config.maxConnectionsPerHost)));
    if (rc != CURLM_OK)
        m_broken = clientFailure("curl_multi_setopt", rc);
}

HttpIoLoop::~HttpIoLoop()
{
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

TransferId HttpIoLoop::create(CurlTransfer::Kind kind, HttpRequest request, QByteArray body, bool endless)
{
    std::lock_guard lock(m_mutex);
    const TransferId id = m_nextId++;
    auto t = std::make_unique<CurlTransfer>(id, kind, std::move(request), m_invalidated ? QByteArray() : std::move(body));
    t->endless = endless;
    m_created.emplace(id, std::move(t));
    return id;
}

void HttpIoLoop::start(const std::vector<TransferId> &ids)
{
    std::lock_guard lock(m_mutex);
    if (m_stopped)
        return; // the session is going away
    bool queued = false;
    for (const TransferId id : ids) {
        const auto it = m_created.find(id);
        if (it == m_created.end())
            continue; // already started
        m_queued.push_back(std::move(it->second));
        m_created.erase(it);
        queued = true;
    }
    if (queued)
        wakeLocked();
}

void HttpIoLoop::fetch(HttpRequest request, std::function<void(FetchResult)> done)
{
    std::lock_guard lock(m_mutex);
    if (m_stopped)
        return;
    const TransferId id = m_nextId++;
    m_queued.push_back(std::make_unique<CurlTransfer>(id, CurlTransfer::Kind::fetch,
                                                       std::move(request), QByteArray(), std::move(done)));
    wakeLocked();
}

void HttpIoLoop::invalidate()
{
    std::lock_guard lock(m_mutex);
    m_invalidated = true;
    m_context.cancelling.store(true);
    // Transfers not started yet can only ever be cancelled now.
    for (auto &[id, t] : m_created)
        t->body = QByteArray();
    wakeLocked();
}

void HttpIoLoop::stop()
{
    std::lock_guard lock(m_mutex);
    m_invalidated = true;
    m_stopped = true;
    m_context.cancelling.store(true);
    wakeLocked();
}

void HttpIoLoop::wakeLocked()
{
    m_wakePending = true;
    m_woken.notify_one();
    if (m_multi && m_curl->wakeup(m_multi.get()) == CURLM_OK)
        return;
    // The loop may be asleep in curl's poll, which watches this too.
    const std::uint64_t one = 1;
    if (m_wakeFd < 0 || write(m_wakeFd, &one, sizeof one) != sizeof one)
        qWarning("HttpSession: could not wake the I/O thread");
}

void HttpIoLoop::run()
{
    m_context.ioThread = std::this_thread::get_id();
    std::unique_lock lock(m_mutex);
    for (;;) {
        std::vector<TransferPtr> queued;
        queued.swap(m_queued);
        m_wakePending = false;
        const bool cancel = m_invalidated;
        const bool stop = m_stopped;
        lock.unlock();

        if (cancel) {
            cancelAll(std::move(queued));
        } else {
            for (auto &t : queued)
                m_waiting.push_back(std::move(t));
            admitWaiting();
        }
        if (stop)
            break;

        if (m_broken) {
            lock.lock();
            m_woken.wait(lock, [this] { return m_wakePending; });
            continue;
        }
        perform();
        admitWaiting(); // into the slots that finished transfers freed
        poll();
        lock.lock();
    }

    // Work that raced with stop() still completes, then the multi handle goes.
    lock.lock();
    std::vector<TransferPtr> late;
    late.swap(m_queued);
    lock.unlock();
    cancelAll(std::move(late));
    lock.lock();
    m_multi.reset();
}

void HttpIoLoop::perform()
{
    const std::size_t inMulti = m_running.size();
    int stillRunning = 0;
    if (const CURLMcode rc = m_curl->perform(m_multi.get(), &stillRunning); rc != CURLM_OK) {
        breakMulti(clientFailure("curl_multi_perform", rc));
        return;
    }
    releasePlaced();
    // Each transfer that curl no longer counts as running has left a message.
    if (collectFinished() + std::size_t(std::max(stillRunning, 0)) < inMulti) {
        breakMulti(HttpError(Code::clientFailed, QStringLiteral("The HTTP client failed: curl_multi_info_read "
                                                                "did not report every finished transfer.")));
        return;
    }
    const auto now = Clock::now();
    checkIdle(now);
    readLinks(now);
}

void HttpIoLoop::admitWaiting()
{
    // Streams share a connection: curl alone keeps to the connection limit.
    const int limit = m_config.multiplex ? 0 : m_config.maxConnectionsPerHost;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        CurlTransfer &t = **it;
        if (limit > 0) {
            const std::string key = t.origin();
            int &used = m_slotsInUse[key];
            if (used >= limit) {
                ++it;
                continue;
            }
            ++used;
            t.slotKey = key;
        }
        TransferPtr ready = std::move(*it);
        it = m_waiting.erase(it);
        launch(std::move(ready));
    }
}

void HttpIoLoop::launch(TransferPtr t)
{
    if (m_broken) {
        finish(std::move(t), m_broken);
        return;
    }
    if (auto error = t->prepare(&m_context)) {
        finish(std::move(t), std::move(error));
        return;
    }
    if (const CURLMcode rc = m_curl->addHandle(m_multi.get(), t->easy.get()); rc != CURLM_OK) {
        finish(std::move(t), clientFailure("curl_multi_add_handle", rc));
        return;
    }
    t->inMulti = true;
    t->placing = true;
    t->lastProgress = Clock::now(); // connecting counts as idle from here
    CurlTransfer *const key = t.get();
    m_running.emplace(key, std::move(t));
}

void HttpIoLoop::releasePlaced()
{
    // Every transfer added before the perform that just returned has its
    // connection now.
    std::vector<std::pair<CurlTransfer *, CURLcode>> stuck;
    for (auto &[key, t] : m_running) {
        if (!std::exchange(t->placing, false) || !std::exchange(t->heldBack, false))
            continue;
        // May deliver the held head (and body) through the callbacks at once.
        if (const CURLcode rc = m_curl->pause(t->easy.get(), CURLPAUSE_CONT); rc != CURLE_OK)
            stuck.emplace_back(key, rc);
    }
    for (const auto &[key, rc] : stuck)
        finish(takeRunning(key), clientFailure("curl_easy_pause", curl_easy_strerror(rc), rc));
}

std::size_t HttpIoLoop::collectFinished()
{
    std::size_t ended = 0;
    int queuedMessages = 0;
    while (CURLMsg *msg = m_curl->infoRead(m_multi.get(), &queuedMessages)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        ++ended;
        // The message dies with the handle's removal: copy what we need.
        const CURLcode result = msg->data.result;
        void *owner = nullptr;
        if (curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner) != CURLE_OK)
            continue;
        if (TransferPtr t = takeRunning(static_cast<CurlTransfer *>(owner))) {
            auto error = t->outcome(result);
            finish(std::move(t), std::move(error));
        }
    }
    return ended;
}

void HttpIoLoop::checkIdle(Clock::time_point now)
{
    for (auto it = m_running.begin(); it != m_running.end();) {
        CurlTransfer &t = *it->second;
        if (t.moved != t.movedSeen) {
            t.movedSeen = t.moved;
            t.lastProgress = now;
            ++it;
            continue;
        }
        if (t.idleTimeout.count() <= 0 || now - t.lastProgress < t.idleTimeout) {
            ++it;
            continue;
        }
        TransferPtr stalled = std::move(it->second);
        it = m_running.erase(it);
        // Read the limit before the pointer is handed over: argument order is unspecified.
        HttpError error(Code::timedOut, {}, {.idle = stalled->idleTimeout});
        finish(std::move(stalled), std::move(error));
    }
}

void HttpIoLoop::readLinks(Clock::time_point now)
{
    if (now < m_nextLinkRead)
        return;
    m_nextLinkRead = now + kLinkReadInterval;
    for (auto &[key, t] : m_running) {
        if (t->readsLink())
            t->reportLink();
    }
}

int HttpIoLoop::pollTimeoutMs(Clock::time_point now)
{
    long curlTimeout = -1;
    if (const CURLMcode rc = m_curl->timeout(m_multi.get(), &curlTimeout); rc != CURLM_OK) {
        breakMulti(clientFailure("curl_multi_timeout", rc));
        return 0;
    }
    milliseconds wait = curlTimeout < 0 ? kNothingPendingWait : milliseconds(curlTimeout);
    const auto until = [now](Clock::time_point deadline) {
        return std::max(std::chrono::ceil<milliseconds>(deadline - now), milliseconds(0));
    };
    for (const auto &[key, t] : m_running) {
        if (t->readsLink())
            wait = std::min(wait, until(m_nextLinkRead));
        if (t->idleTimeout.count() > 0)
            wait = std::min(wait, until(t->lastProgress + t->idleTimeout));
    }
    return int(wait.count());
}

void HttpIoLoop::poll()
{
    const int timeoutMs = pollTimeoutMs(Clock::now());
    if (m_broken)
        return;
    curl_waitfd wake{m_wakeFd, CURL_WAIT_POLLIN, 0};
    if (const CURLMcode rc = m_curl->poll(m_multi.get(), &wake, m_wakeFd >= 0 ? 1 : 0, timeoutMs); rc != CURLM_OK) {
        breakMulti(clientFailure("curl_multi_poll", rc));
        return;
    }
    std::uint64_t wakes = 0;
    if (wake.revents && read(m_wakeFd, &wakes, sizeof wakes) < 0) {
        // Already read: nothing to clear.
    }
}

void HttpIoLoop::cancelAll(std::vector<TransferPtr> queued)
{
    std::vector<TransferPtr> victims;
    for (auto &[key, t] : m_running)
        victims.push_back(std::move(t));
    m_running.clear();
    for (auto &t : m_waiting)
        victims.push_back(std::move(t));
    m_waiting.clear();
    for (auto &t : queued)
        victims.push_back(std::move(t));
    for (auto &t : victims)
        finish(std::move(t), HttpError(Code::cancelled, {}));
}

void HttpIoLoop::breakMulti(HttpError error)
{
    m_broken = error;
    auto victims = std::move(m_running);
    m_running.clear();
    for (auto &[key, t] : victims)
        finish(std::move(t), error);
}

HttpIoLoop::TransferPtr HttpIoLoop::takeRunning(CurlTransfer *t)
{
    const auto it = m_running.find(t);
    if (it == m_running.end())
        return nullptr;
    TransferPtr taken = std::move(it->second);
    m_running.erase(it);
    return taken;
}

void HttpIoLoop::finish(TransferPtr t, std::optional<HttpError> error)
{
    if (t->inMulti) {
        // A handle curl keeps is detached when it is cleaned up below.
        if (m_curl->removeHandle(m_multi.get(), t->easy.get()) != CURLM_OK)
            qWarning("HttpSession: could not detach a finished transfer");
        t->inMulti = false;
    }
    if (!t->slotKey.empty()) {
        if (const auto it = m_slotsInUse.find(t->slotKey); it != m_slotsInUse.end() && --it->second <= 0)
            m_slotsInUse.erase(it);
    }
    if (t->easy && !(error && error->code() == Code::cancelled))
        t->reportRest();
    if (t->easy && t->kind == CurlTransfer::Kind::fetch && !error)
        t->readTimings();

    const TransferId id = t->id;
    const bool isFetch = t->kind == CurlTransfer::Kind::fetch;
    if (!isFetch)
        m_context.observer->onBodyTotal(id, t->bodyBytes());
    auto done = std::move(t->done);
    HttpResponse response = std::move(t->response);
    t.reset(); // the easy handle and the body reference go before anyone hears

    if (isFetch) {
        if (done)
            done(error ? FetchResult(std::move(*error)) : FetchResult(std::move(response)));
    } else {
        m_context.observer->onComplete(id, error);
    }
}
