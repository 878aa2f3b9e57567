// The download and upload phases: batches of parallel transfers of growing
// size, a live sampler, and the combined rate of the last two batches.
#include "speedtest.h"

#include "httpsession.h"
#include "throughputmath.h"
#include "transferdelegate.h"
#include "transferids.h"

#include <cstdlib>

using namespace std::chrono_literals;

namespace {

const QList<std::int64_t> downloadSizes = {2'000'000, 8'000'000, 20'000'000, 50'000'000, 100'000'000};
const QList<std::int64_t> uploadSizes = {1'000'000, 4'000'000, 10'000'000, 25'000'000, 50'000'000};
constexpr auto sampleInterval = 120ms;
constexpr auto pauseAtEnd = 400ms;

// Zeros to upload, without writing them: one process-wide region from
// calloc, whose untouched pages the kernel maps to its shared zero page.
// Filling a fresh 50 MB buffer inside a batch's timing took a third of a
// second here and made uploads read up to a fifth too low; reading these
// pages costs next to nothing and no memory.
QByteArray zeroBody(std::int64_t size)
{
    static const char *const zeros = static_cast<const char *>(std::calloc(std::size_t(uploadSizes.last()), 1));
    if (!zeros || size > uploadSizes.last())
        return QByteArray(qsizetype(size), '\0');
    return QByteArray::fromRawData(zeros, qsizetype(size));
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A batch still running when the request limit has passed since it began
// is cut there: the bytes counted by then, over that time, are its rate.
struct BatchCut {
    bool done = false;
    std::int64_t bytes = 0;
    double secs = 0;
};

async::Task<void> cutAtLimit(std::shared_ptr<HttpSession> session, std::shared_ptr<TransferDelegate> delegate,
                             std::chrono::steady_clock::time_point began, std::chrono::milliseconds limit,
                             std::shared_ptr<BatchCut> cut)
{
    if (limit.count() <= 0)
        co_return;
    const auto deadline = began + limit;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now())
        co_await async::sleepFor(deadline - now);
    cut->bytes = delegate->bytes();
    cut->secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    cut->done = true;
    // The phase ends with this batch, so its session has no other use.
    session->invalidate();
}

async::Task<void> awaitTransfer(async::Future<void> done, std::shared_ptr<const BatchCut> cut)
{
    try {
        co_await std::move(done);
    } catch (const HttpError &e) {
        // Stopped by the cut: not a failure, and its bytes already count.
        if (!cut->done || e.code() != HttpError::Code::cancelled)
            throw;
    }
}

// Ends a companion of the batch (its sampler, its cut) on every way out of
// the batch, so that it never acts after its batch.
struct CompanionStop {
    async::TaskHandle handle;
    ~CompanionStop() { handle.destroy(); }
};

} // namespace

async::Task<void> SpeedTest::measureThroughput(bool upload)
{
    co_await async::checkCancelled();
    setPhase(upload ? Phase::upload : Phase::download);
    setStatus(runningStatus(upload ? Phase::upload : Phase::download));
    setSamples({});
    setGaugeValue(0);
    setGaugeMax(100);

    const QList<std::int64_t> &sizes = upload ? uploadSizes : downloadSizes;
    const int parallel = upload ? 4 : 6;
    auto delegate = std::make_shared<TransferDelegate>();
    delegate->countsReceived = !upload;
    auto session = HttpSession::create(
        {.idleTimeout = timeouts.throughput, .maxConnectionsPerHost = parallel, .observer = delegate});
    m_session = session;

    const auto start = std::chrono::steady_clock::now();
    QList<Batch> batches;
    QList<double> rates;
    for (int i = 0;;) {
        co_await async::checkCancelled();
        const std::int64_t size = sizes[i];
        delegate->resetBytes();
        const auto began = std::chrono::steady_clock::now();
        const double batchStart = std::chrono::duration<double>(began - start).count();
        // Both share the test's cancellation, so a cancel silences them at
        // once. (Not awaited inside a braced initializer: g++ 12 destroys
        // such temporaries twice.)
        async::TaskHandle samplerHandle = co_await async::spawn(sampleLive(delegate, start));
        CompanionStop sampler{std::move(samplerHandle)};
        auto cut = std::make_shared<BatchCut>();
        async::TaskHandle cutHandle = co_await async::spawn(cutAtLimit(session, delegate, began, timeouts.request, cut));
        CompanionStop cutter{std::move(cutHandle)};

        std::vector<HttpTransfer> batch;
        const QByteArray body = upload ? zeroBody(size) : QByteArray();
        for (int k = 0; k < parallel; ++k) {
            HttpRequest request;
            request.timeout = std::chrono::milliseconds::zero(); // the batch's cut stands for it
            if (upload) {
                request.url = (m_origin + QStringLiteral("/__up")).toStdString();
                request.method = "POST";
                request.headers = {{"Content-Type", "application/octet-stream"}};
                batch.push_back(session->uploadTransfer(std::move(request), body));
            } else {
                request.url = (m_origin + QStringLiteral("/__down?bytes=") + QString::number(size)
                               + QStringLiteral("&r=") + newRequestId())
                                  .toStdString();
                batch.push_back(session->dataTransfer(std::move(request)));
            }
        }
        std::vector<async::Task<void>> transfers;
        for (auto &done : delegate->runAll(batch))
            transfers.push_back(awaitTransfer(std::move(done), cut));
        co_await async::whenAll(std::move(transfers));
        sampler.handle.destroy();
        cutter.handle.destroy();

        // Only a broken or hostile server trickles: no figure from it.
        if (cut->done) {
            for (const HttpTransfer &t : batch)
                if (double(delegate->bodyTotal(t.identifier())) / cut->secs < floorBytesPerSecond)
                    throw HttpError(HttpError::Code::timedOut,
                                    QStringLiteral("A transfer moved less than 1,000 bytes a second"));
        }
        const double secs = cut->done ? cut->secs : std::max(secondsSince(start) - batchStart, minBatchSecs);
        const std::int64_t bytes = cut->done ? cut->bytes : delegate->bytes();
        batches.append({bytes, secs});
        rates.append(mbps(bytes, secs));
        ++i;
        // A cut batch ends the phase, whatever the other rules say.
        if (cut->done || stopReason(rates, secs, secondsSince(start), i, int(sizes.size())) != StopReason::none)
            break;
    }

    const double result = reportedRate(batches);
    setGauge(result, throughputSteps);
    if (upload) {
        setUpload(result);
    } else {
        m_downloadGaugeMax = m_gaugeMax; // the scale the test ends on
        setDownload(result);
    }
    co_await async::sleepFor(pauseAtEnd);
}

async::Task<void> SpeedTest::sampleLive(std::shared_ptr<TransferDelegate> delegate,
                                        std::chrono::steady_clock::time_point phaseStart)
{
    LiveWindow window(secondsSince(phaseStart));
    for (;;) {
        co_await async::checkCancelled();
        co_await async::sleepFor(sampleInterval);
        const double t = secondsSince(phaseStart);
        const auto rate = window.tick(t, delegate->bytes(), [&] { return delegate->bytes(); });
        if (rate) {
            appendSample({t, *rate});
            setGauge(*rate, throughputSteps);
        }
    }
}
