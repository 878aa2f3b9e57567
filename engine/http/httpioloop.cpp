#include "httpioloop.h"

#include <QtGlobal>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace {
using Code = HttpError::Code;
using std::chrono::milliseconds;

// How long the loop sleeps when nothing at all is pending; any new work
// wakes it at once.
constexpr milliseconds kNothingPendingWait = std::chrono::hours(1);
// Acknowledgements wake nobody: while an upload waits for them, the loop
// looks this often, so the count it reports is never older than this.
constexpr milliseconds kAckReadInterval{10};

class SilentObserver final : public TransferObserver {
public:
    ResponseDisposition onResponse(TransferId, long) override { return ResponseDisposition::allow; }
    void onDataReceived(TransferId, std::size_t) override {}
    void onBodySent(TransferId, std::int64_t, std::int64_t, std::int64_t) override {}
    void onComplete(TransferId, const std::optional<HttpError> &) override {}
};

HttpError clientFailure(const char *what, int code)
{
    return HttpError(Code::other,
                     QStringLiteral("The HTTP client failed: %1 (%2).").arg(QLatin1String(what)).arg(code));
}
} // namespace

HttpIoLoop::HttpIoLoop(HttpSessionConfig config) : m_config(std::move(config))
{
    ensureCurlInitialised();
    m_multi = makeMultiHandle();
    if (!m_multi)
        throw std::bad_alloc();
    // One connection per transfer, so parallel transfers measure parallel
    // connections; HTTP/1.1 only, so no multiplexing either.
    CURLMcode rc = curl_multi_setopt(m_multi.get(), CURLMOPT_PIPELINING, long(CURLPIPE_NOTHING));
    if (rc == CURLM_OK && m_config.maxConnectionsPerHost > 0)
        rc = curl_multi_setopt(m_multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                               long(m_config.maxConnectionsPerHost));
    // Keep every connection of a batch for the next one: by default the
    // cache shrinks with the number of transfers and drops one between
    // batches, which then pays for a new connection inside its timing.
    if (rc == CURLM_OK)
        rc = curl_multi_setopt(m_multi.get(), CURLMOPT_MAXCONNECTS,
                               long(std::max(8, 2 * m_config.maxConnectionsPerHost)));
    if (rc != CURLM_OK)
        throw std::runtime_error(std::string("curl_multi_setopt: ") + curl_multi_strerror(rc));
}

TransferId HttpIoLoop::create(CurlTransfer::Kind kind, HttpRequest request, QByteArray body)
{
    std::lock_guard lock(m_mutex);
    const TransferId id = m_nextId++;
    m_created.emplace(id, std::make_unique<CurlTransfer>(id, kind, std::move(request),
                                                          m_invalidated ? QByteArray() : std::move(body)));
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
    m_cancelling.store(true);
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
    m_cancelling.store(true);
    wakeLocked();
}

void HttpIoLoop::wakeLocked()
{
    m_wakePending = true;
    m_woken.notify_one();
    if (m_multi && curl_multi_wakeup(m_multi.get()) != CURLM_OK)
        qWarning("HttpSession: could not wake the I/O thread");
}

void HttpIoLoop::run()
{
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
        int stillRunning = 0;
        if (const CURLMcode rc = curl_multi_perform(m_multi.get(), &stillRunning); rc != CURLM_OK) {
            m_broken = true;
            failRunning(clientFailure("curl_multi_perform", rc));
        }
        releasePlaced();
        collectFinished();
        checkIdle(Clock::now());
        admitWaiting(); // into the slots that finished transfers freed
        if (!m_broken) {
            if (const CURLMcode rc = curl_multi_poll(m_multi.get(), nullptr, 0,
                                                     pollTimeoutMs(Clock::now()), nullptr);
                rc != CURLM_OK) {
                m_broken = true;
                failRunning(clientFailure("curl_multi_poll", rc));
            }
        }
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

void HttpIoLoop::admitWaiting()
{
    const int limit = m_config.maxConnectionsPerHost;
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
        finish(std::move(t), clientFailure("unusable multi handle", 0));
        return;
    }
    if (auto error = t->prepare(observer(), &m_cancelling, m_config.idleTimeout, &m_sockets)) {
        finish(std::move(t), std::move(error));
        return;
    }
    if (const CURLMcode rc = curl_multi_add_handle(m_multi.get(), t->easy.get()); rc != CURLM_OK) {
        finish(std::move(t), clientFailure("curl_multi_add_handle", rc));
        return;
    }
    t->inMulti = true;
    t->placing = true;
    t->lastProgress = Clock::now(); // connecting counts as idle from here
    m_running.push_back(std::move(t));
}

void HttpIoLoop::releasePlaced()
{
    // Every transfer added before the perform that just returned has its
    // connection now.
    std::vector<std::pair<std::size_t, CURLcode>> stuck;
    for (std::size_t i = 0; i < m_running.size(); ++i) {
        CurlTransfer &t = *m_running[i];
        if (!std::exchange(t.placing, false) || !std::exchange(t.heldBack, false))
            continue;
        // May deliver the held head (and body) through the callbacks at once.
        if (const CURLcode rc = curl_easy_pause(t.easy.get(), CURLPAUSE_CONT); rc != CURLE_OK)
            stuck.emplace_back(i, rc);
    }
    for (auto it = stuck.rbegin(); it != stuck.rend(); ++it) {
        TransferPtr t = std::move(m_running[it->first]);
        m_running.erase(m_running.begin() + std::ptrdiff_t(it->first));
        finish(std::move(t), clientFailure("curl_easy_pause", it->second));
    }
}

void HttpIoLoop::collectFinished()
{
    int queuedMessages = 0;
    while (CURLMsg *msg = curl_multi_info_read(m_multi.get(), &queuedMessages)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        // The message dies with the handle's removal: copy what we need.
        CURL *const easy = msg->easy_handle;
        const CURLcode result = msg->data.result;
        const auto it = std::find_if(m_running.begin(), m_running.end(),
                                     [easy](const TransferPtr &t) { return t->easy.get() == easy; });
        if (it == m_running.end())
            continue;
        TransferPtr t = std::move(*it);
        m_running.erase(it);
        auto error = t->outcome(result);
        finish(std::move(t), std::move(error));
    }
}

void HttpIoLoop::checkIdle(Clock::time_point now)
{
    for (std::size_t i = 0; i < m_running.size();) {
        CurlTransfer &t = *m_running[i];
        if (t.moved != t.movedSeen) {
            t.movedSeen = t.moved;
            t.lastProgress = now;
            ++i;
            continue;
        }
        if (t.idleTimeout.count() <= 0 || now - t.lastProgress < t.idleTimeout) {
            ++i;
            continue;
        }
        TransferPtr stalled = std::move(m_running[i]);
        m_running.erase(m_running.begin() + std::ptrdiff_t(i));
        finish(std::move(stalled), HttpError(Code::timedOut, {}, {.idle = stalled->idleTimeout}));
    }
}

int HttpIoLoop::pollTimeoutMs(Clock::time_point now) const
{
    long curlTimeout = -1;
    if (curl_multi_timeout(m_multi.get(), &curlTimeout) != CURLM_OK)
        curlTimeout = -1;
    milliseconds wait = curlTimeout < 0 ? kNothingPendingWait : milliseconds(curlTimeout);
    for (const auto &t : m_running) {
        if (t->awaitsAcks())
            wait = std::min(wait, kAckReadInterval);
        if (t->idleTimeout.count() <= 0)
            continue;
        const auto left = std::chrono::ceil<milliseconds>(t->lastProgress + t->idleTimeout - now);
        wait = std::min(wait, std::max(left, milliseconds(0)));
    }
    return int(wait.count());
}

void HttpIoLoop::cancelAll(std::vector<TransferPtr> queued)
{
    std::vector<TransferPtr> victims = std::move(m_running);
    m_running.clear();
    for (auto &t : m_waiting)
        victims.push_back(std::move(t));
    m_waiting.clear();
    for (auto &t : queued)
        victims.push_back(std::move(t));
    for (auto &t : victims)
        finish(std::move(t), HttpError(Code::cancelled, {}));
}

void HttpIoLoop::failRunning(const HttpError &error)
{
    std::vector<TransferPtr> victims = std::move(m_running);
    m_running.clear();
    for (auto &t : victims)
        finish(std::move(t), error);
}

void HttpIoLoop::finish(TransferPtr t, std::optional<HttpError> error)
{
    if (t->inMulti) {
        if (curl_multi_remove_handle(m_multi.get(), t->easy.get()) != CURLM_OK)
            qWarning("HttpSession: could not detach a finished transfer");
        t->inMulti = false;
    }
    if (!t->slotKey.empty()) {
        if (const auto it = m_slotsInUse.find(t->slotKey); it != m_slotsInUse.end() && --it->second <= 0)
            m_slotsInUse.erase(it);
    }
    const bool cancelled = error && error->code() == Code::cancelled;
    if (t->kind == CurlTransfer::Kind::upload && t->easy && !cancelled) {
        // The progress callback runs between reads and writes; report what
        // went out after its last call so the increments add up.
        const std::int64_t sent = t->bytesSent();
        if (sent > t->sentReported)
            observer()->onBodySent(t->id, sent - t->sentReported, sent, t->body.size());
    }

    const TransferId id = t->id;
    const bool isFetch = t->kind == CurlTransfer::Kind::fetch;
    auto done = std::move(t->done);
    HttpResponse response = std::move(t->response);
    t.reset(); // the easy handle and the body reference go before anyone hears

    if (isFetch) {
        if (done)
            done(error ? FetchResult(std::move(*error)) : FetchResult(std::move(response)));
    } else {
        observer()->onComplete(id, error);
    }
}

TransferObserver *HttpIoLoop::observer() const
{
    static SilentObserver silent;
    return m_config.observer ? m_config.observer.get() : &silent;
}
