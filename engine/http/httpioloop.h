#pragma once
// The working part of one HttpSession: the queue other threads hand work to,
// and the loop the session's I/O thread runs over curl's multi handle.
// - create/start/fetch/invalidate/stop may be called from any thread: they
//   only queue work under the mutex and wake the loop (curl_multi_wakeup).
// - run() is the I/O thread. It alone touches the multi handle and started
//   transfers, and calls every consumer with no lock of ours held.
// - Idle timeouts are kept here, per transfer, from the last time it moved a
//   byte; the poll never sleeps past the nearest deadline. While an upload
//   waits for acknowledgements, which wake nothing, it sleeps 10 ms at most.
// - So is the per-host connection limit: a transfer waiting for a free
//   connection has not started and is not idle.
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

    HttpIoLoop(const HttpIoLoop &) = delete;
    HttpIoLoop &operator=(const HttpIoLoop &) = delete;

    // Any thread.
    TransferId create(CurlTransfer::Kind kind, HttpRequest request, QByteArray body);
    void start(TransferId id);
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
    void admitWaiting();
    void launch(TransferPtr t);
    void collectFinished();
    void checkIdle(Clock::time_point now);
    int pollTimeoutMs(Clock::time_point now) const;
    void cancelAll(std::vector<TransferPtr> queued);
    void failRunning(const HttpError &error);
    void finish(TransferPtr t, std::optional<HttpError> error);
    TransferObserver *observer() const;

    const HttpSessionConfig m_config;
    std::atomic<bool> m_cancelling{false}; // read by curl callbacks to stop early
    ConnectionSockets m_sockets; // I/O thread only

    std::mutex m_mutex;
    std::condition_variable m_woken; // only used once curl's poll has failed
    bool m_wakePending = false;
    MultiHandle m_multi; // reset under the mutex when run() ends
    std::unordered_map<TransferId, TransferPtr> m_created; // not started yet
    std::vector<TransferPtr> m_queued; // started, not yet seen by the loop
    TransferId m_nextId = 1;
    bool m_invalidated = false;
    bool m_stopped = false;

    // I/O thread only.
    bool m_broken = false; // curl's multi handle failed: every transfer fails fast
    std::vector<TransferPtr> m_running;
    std::deque<TransferPtr> m_waiting;
    std::unordered_map<std::string, int> m_slotsInUse;
};
