#pragma once
// The working part of one HttpSession: the queue other threads hand work to,
// and the loop the session's I/O thread runs over curl's multi handle.
// - create/start/fetch/invalidate/stop may be called from any thread: they
//   only queue work under the mutex and wake the loop (curl_multi_wakeup).
// - run() is the I/O thread. It alone touches the multi handle and started
//   transfers, and calls every consumer with no lock of ours held.
// - Idle timeouts are kept here, per transfer, from the last time it moved a
//   byte; the poll never sleeps past the nearest deadline. While a transfer
//   reads its socket's counters (acknowledgements, segments past a gap),
//   which wake nothing, it sleeps 10 ms at most.
//   The limit on a whole request is curl's own (CURLOPT_TIMEOUT_MS), which
//   the poll's timeout already includes.
// - So is the per-host connection limit: a transfer waiting for a free
//   connection has not started and is not idle. A session that multiplexes
//   leaves the limit to curl, which may give a waiting transfer a stream.
// - Transfers started together (a batch) run on as many connections: in the
//   pass that adds them none can end, so none frees a connection that
//   another of them would take instead of its own.
// - Every libcurl call goes through a CurlApi. When curl's multi handle fails
//   (or cannot be made), every transfer in flight and every later one fails
//   with clientFailed; invalidate() and stop() still work. A failed wake-up
//   falls back to an eventfd of ours in the poll.
#include "curlapi.h"
#include "curlhandle.h"
#include "curltransfer.h"
#include "httpsession.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class HttpIoLoop {
public:
    explicit HttpIoLoop(HttpSessionConfig config);

    ~HttpIoLoop();
    HttpIoLoop(const HttpIoLoop &) = delete;
    HttpIoLoop &operator=(const HttpIoLoop &) = delete;

    // Any thread.
    TransferId create(CurlTransfer::Kind kind, HttpRequest request, QByteArray body, bool endless = false);
    // All of them reach the loop in the same pass.
    void start(const std::vector<TransferId> &ids);
    void fetch(HttpRequest request, std::function<void(FetchResult)> done);
    void invalidate();
    // Invalidates and makes run() return once everything has completed.
    void stop();

    // The I/O thread's body.
    void run();

private:
    using Clock = CurlTransfer::Clock;
    using TransferPtr = std::unique_ptr<CurlTransfer>;

    void wakeLocked();
    void perform();
    void admitWaiting();
    void launch(TransferPtr t);
    void releasePlaced();
    std::size_t collectFinished();
    void checkIdle(Clock::time_point now);
    void readLinks(Clock::time_point now);
    int pollTimeoutMs(Clock::time_point now);
    void poll();
    void cancelAll(std::vector<TransferPtr> queued);
    void breakMulti(HttpError error);
    TransferPtr takeRunning(CurlTransfer *t);
    void finish(TransferPtr t, std::optional<HttpError> error);

    const HttpSessionConfig m_config;
    const std::shared_ptr<CurlApi> m_curl;
    TransferContext m_context; // lent to every transfer; its fields say who touches them

    std::mutex m_mutex;
    std::condition_variable m_woken; // only used once curl's multi handle has failed
    bool m_wakePending = false;
    int m_wakeFd = -1; // an eventfd: the wake-up when curl's fails; -1 if there is none
    MultiHandle m_multi; // reset under the mutex when run() ends
    std::unordered_map<TransferId, TransferPtr> m_created; // not started yet
    std::vector<TransferPtr> m_queued; // started, not yet seen by the loop
    TransferId m_nextId = 1;
    bool m_invalidated = false;
    bool m_stopped = false;

    // I/O thread only (set before it starts).
    std::optional<HttpError> m_broken; // why curl's multi handle is unusable
    std::unordered_map<CurlTransfer *, TransferPtr> m_running; // in the multi handle
    std::deque<TransferPtr> m_waiting;
    std::unordered_map<std::string, int> m_slotsInUse;
    Clock::time_point m_nextLinkRead;
};
