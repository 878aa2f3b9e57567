#pragma once
// TransferDelegate: the event receiver of one transfer-phase session.
// Counts payload bytes over all transfers (received for download, sent for
// upload), lets the phase await each transfer, and refuses every response
// whose status is not exactly 200 before its body is read.
//
// Events arrive on the session's I/O thread; run(), resetBytes(), bytes()
// and bodyTotal() are called on the main thread. One lock guards the
// counters, the waiters and the refused statuses; it is never held while a
// waiter is completed or the HTTP client is called.
#include "async.h"
#include "bytetally.h"
#include "httpsession.h"

#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

class TransferDelegate final : public TransferObserver {
public:
    // Where every body byte sent or received also goes, if set; set once,
    // before the first transfer starts.
    std::shared_ptr<ByteTally> tally;
    // Set once, before the first transfer starts.
    bool countsReceived = true;

    // Also forgets the totals of finished transfers.
    void resetBytes();
    std::int64_t bytes();
    // The body bytes of a transfer that has completed since resetBytes().
    std::int64_t bodyTotal(TransferId id);

    // Registers the waiter, then starts the transfer. Completes when the
    // transfer does: with nothing, its transport error, or badServerResponse.
    async::Future<void> run(const HttpTransfer &transfer);
    // The same for the transfers of one batch: every waiter first, then all
    // of them started together (HttpTransfer::resumeTogether).
    std::vector<async::Future<void>> runAll(const std::vector<HttpTransfer> &transfers);

    ResponseDisposition onResponse(TransferId id, long status) override;
    void onDataReceived(TransferId id, std::size_t bytes) override;
    void onBodySent(TransferId id, std::int64_t sent, std::int64_t totalSent,
                    std::int64_t totalExpected) override;
    void onComplete(TransferId id, const std::optional<HttpError> &error) override;
    void onBodyTotal(TransferId id, std::int64_t bytes) override;
    void onRoundTrip(TransferId id, std::uint32_t micros) override;
    // The latest round-trip estimate of an upload's connection, in ms.
    std::optional<double> roundTripMs();

    // For tests: entries still waiting for their completion.
    std::size_t pendingWaiters();
    std::size_t pendingBadStatus();

private:
    std::mutex m_lock;
    std::int64_t m_bytes = 0;
    std::optional<std::uint32_t> m_rttMicros;
    std::unordered_map<TransferId, async::Promise<void>> m_conts;
    std::unordered_map<TransferId, long> m_badStatus; // the refused status of each
    std::unordered_map<TransferId, std::int64_t> m_totals;
};
