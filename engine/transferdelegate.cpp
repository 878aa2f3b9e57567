#include "transferdelegate.h"

void TransferDelegate::resetBytes()
{
    std::lock_guard g(m_lock);
    m_bytes = 0;
    m_totals.clear();
}

std::int64_t TransferDelegate::bytes()
{
    std::lock_guard g(m_lock);
    return m_bytes;
}

std::int64_t TransferDelegate::bodyTotal(TransferId id)
{
    std::lock_guard g(m_lock);
    const auto it = m_totals.find(id);
    return it == m_totals.end() ? 0 : it->second;
}

async::Future<void> TransferDelegate::run(const HttpTransfer &transfer)
{
    return std::move(runAll({transfer}).front());
}

std::vector<async::Future<void>> TransferDelegate::runAll(const std::vector<HttpTransfer> &transfers)
{
    std::vector<async::Future<void>> futures;
    futures.reserve(transfers.size());
    {
        std::lock_guard g(m_lock);
        for (const HttpTransfer &transfer : transfers) {
            async::Promise<void> waiter;
            futures.push_back(waiter.future());
            m_conts.insert_or_assign(transfer.identifier(), std::move(waiter));
        }
    }
    // Started only now, so each completion always finds its waiter.
    HttpTransfer::resumeTogether(transfers);
    return futures;
}

ResponseDisposition TransferDelegate::onResponse(TransferId id, long status)
{
    if (status == 200)
        return ResponseDisposition::allow;
    {
        std::lock_guard g(m_lock);
        m_badStatus.insert_or_assign(id, status);
    }
    return ResponseDisposition::cancel;
}

void TransferDelegate::onDataReceived(TransferId, std::size_t bytes)
{
    if (tally)
        tally->add(std::int64_t(bytes));
    if (!countsReceived)
        return;
    std::lock_guard g(m_lock);
    m_bytes += std::int64_t(bytes);
}

void TransferDelegate::onBodySent(TransferId, std::int64_t sent, std::int64_t, std::int64_t)
{
    if (tally)
        tally->add(sent);
    if (countsReceived)
        return;
    std::lock_guard g(m_lock);
    m_bytes += sent;
}

void TransferDelegate::onComplete(TransferId id, const std::optional<HttpError> &error)
{
    std::optional<async::Promise<void>> waiter;
    std::optional<long> badStatus;
    {
        std::lock_guard g(m_lock);
        if (auto it = m_conts.find(id); it != m_conts.end()) {
            waiter.emplace(std::move(it->second));
            m_conts.erase(it);
        }
        if (auto it = m_badStatus.find(id); it != m_badStatus.end()) {
            badStatus = it->second;
            m_badStatus.erase(it);
        }
    }
    if (!waiter)
        return;
    // The refusal beats the cancellation it caused.
    if (badStatus)
        waiter->fail(std::make_exception_ptr(HttpError(HttpError::Code::badServerResponse, {}, {.httpStatus = *badStatus})));
    else if (error)
        waiter->fail(std::make_exception_ptr(*error));
    else
        waiter->resolve();
}

void TransferDelegate::onBodyTotal(TransferId id, std::int64_t bytes)
{
    std::lock_guard g(m_lock);
    m_totals[id] = bytes;
}

std::size_t TransferDelegate::pendingWaiters()
{
    std::lock_guard g(m_lock);
    return m_conts.size();
}

std::size_t TransferDelegate::pendingBadStatus()
{
    std::lock_guard g(m_lock);
    return m_badStatus.size();
}

void TransferDelegate::onRoundTrip(TransferId, std::uint32_t micros)
{
    std::lock_guard lock(m_lock);
    m_rttMicros = micros;
}

std::optional<double> TransferDelegate::roundTripMs()
{
    std::lock_guard lock(m_lock);
    if (!m_rttMicros)
        return std::nullopt;
    return *m_rttMicros / 1000.0;
}
