#include "speedtest.h"

#include "async.h"
#include "gaugerule.h"
#include "httpsession.h"
#include "latencystats.h"
#include "pathmonitor.h"

#include <QMetaObject>

#include <stdexcept>

const QList<double> SpeedTest::latencySteps = {50, 100, 200, 500, 1000, 5000};
const QList<double> SpeedTest::throughputSteps = {50, 100, 250, 500, 1000, 2500, 5000, 10000, 100000};

SpeedTest::SpeedTest(QString origin, std::unique_ptr<PathMonitor> monitor, QObject *parent)
    : QObject(parent), m_origin(std::move(origin)), m_monitor(std::move(monitor))
{
    while (m_origin.endsWith(QLatin1Char('/')))
        m_origin.chop(1);
    if (!m_monitor)
        m_monitor = createSystemPathMonitor();
    // The monitor's thread only hands the boolean over. Queued calls to a
    // destroyed receiver are dropped by Qt, and the monitor is stopped
    // before this object goes away, so `this` is never used after that.
    m_monitor->start([this](bool usable) {
        QMetaObject::invokeMethod(this, [this, usable] { setIsOnline(usable); }, Qt::QueuedConnection);
    });
}

SpeedTest::~SpeedTest()
{
    m_monitor.reset();
    // A test still running refers to this object: end its coroutines first.
    for (auto &task : m_tasks)
        task.destroy();
    if (m_session)
        m_session->invalidate();
}

namespace {
// Run code calls the setters; once the run has been cancelled it must not
// publish, so it stops at the setter instead.
void stopIfCancelled()
{
    if (async::currentTaskCancelled())
        throw async::CancelledError();
}

// A transfer's cancelled error; only cancel() asks for one.
bool isUnaskedCancel(const std::exception_ptr &error)
{
    if (!error)
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const HttpError &e) {
        return e.code() == HttpError::Code::cancelled;
    } catch (...) {
        return false;
    }
}
} // namespace

void SpeedTest::start()
{
    // Acts for the user, also when a slot of a running test calls it.
    const async::OutsideTasks outside;
    if (isRunning())
        return;
    // Started from a slot while the last test's ending was published: that
    // test still tells how it ended, first.
    const std::uint64_t launches = m_launches;
    deliverOutcome();
    if (m_launches != launches)
        return; // a slot of ended() started the next test already
    m_outcome.reset();
    setErrorMessage(std::nullopt);
    setLatencyMedian(std::nullopt);
    setLatencyMin(std::nullopt);
    setLatencyMax(std::nullopt);
    setJitter(std::nullopt);
    setDownload(std::nullopt);
    setUpload(std::nullopt);
    setLastResult(std::nullopt);
    setSamples({});
    setGaugeValue(0);

    std::erase_if(m_tasks, [](const async::TaskHandle &t) { return t.isFinished(); });
    // The previous test's task is kept: after a cancel it may still be
    // winding down, and it ends silently on its own. It is told to cancel all
    // the same: started from its onFinish or from a slot of its failure
    // path, the new test would otherwise have its state and session
    // overwritten by the old one's last steps.
    if (!m_tasks.empty())
        m_tasks.back().cancel();
    ++m_launches;
    m_outcomeOwed = true;
    m_tasks.push_back(async::launch(run()));
}

void SpeedTest::cancel()
{
    const async::OutsideTasks outside;
    if (!m_tasks.empty())
        m_tasks.back().cancel();
    invalidateSession();
    const TestOutcome cancelled{TestOutcome::Kind::cancelled};
    // Also a test whose ending was being published when a slot cancelled it.
    if (m_outcomeOwed)
        m_outcome = cancelled;
    // A slot may start the next test from here; the state is then that
    // test's, and "Cancelled" must not overwrite its status.
    const std::uint64_t launches = m_launches;
    setPhase(Phase::idle);
    if (m_launches != launches)
        return;
    setStatus(cancelled.status());
    if (m_launches != launches)
        return;
    setGaugeValue(0);
    if (m_launches != launches)
        return;
    deliverOutcome();
}

void SpeedTest::deliverOutcome()
{
    if (!m_outcomeOwed || !m_outcome)
        return;
    m_outcomeOwed = false;
    const TestOutcome outcome = *m_outcome; // a slot may start the next test
    emit ended(outcome);
}

void SpeedTest::invalidateSession()
{
    if (auto session = std::exchange(m_session, nullptr))
        session->invalidate();
}

async::Task<void> SpeedTest::run()
{
    std::exception_ptr failure;
    try {
        co_await measureLatency();
        co_await measureThroughput(false);
        co_await measureThroughput(true);
    } catch (...) {
        failure = std::current_exception();
    }
    // A cancelled or replaced test ends here; cancel() or start() told how.
    if (co_await async::isCancelled())
        co_return;

    // A figure missing or a transfer cancelled that nobody cancelled changes
    // nothing on screen: the test stays as it was until cancel().
    bool quiet = isUnaskedCancel(failure);
    if (!failure && !(m_latencyMedian && m_latencyMin && m_latencyMax && m_jitter && m_download && m_upload)) {
        failure = std::make_exception_ptr(std::logic_error("a phase ended without its figure"));
        quiet = true;
    }
    if (failure) {
        const TestOutcome failed{TestOutcome::Kind::failed, std::nullopt, failure, describe(failure),
                                 failureCause(failure, m_phase, m_origin)};
        m_outcome = failed;
        if (!quiet) {
            setPhase(Phase::idle);
            setGaugeValue(0);
            setErrorMessage(failed.message);
            setStatus(failed.status());
            invalidateSession();
        }
        deliverOutcome();
        co_return;
    }

    TestResult result;
    result.id = QUuid::createUuid();
    result.date = QDateTime::currentDateTimeUtc();
    result.latencyMedian = *m_latencyMedian;
    result.latencyMin = *m_latencyMin;
    result.latencyMax = *m_latencyMax;
    result.jitter = *m_jitter;
    result.download = *m_download;
    result.upload = *m_upload;
    const TestOutcome done{TestOutcome::Kind::done, result};
    m_outcome = done;
    setLastResult(result);
    setPhase(Phase::done);
    setStatus(done.status());
    setGaugeMax(m_downloadGaugeMax);
    setGaugeValue(*m_download);
    deliverOutcome();
    if (onFinish)
        onFinish(result);
    // onFinish may have cancelled this test, or started the next one, whose
    // session is not this test's to end.
    if (co_await async::isCancelled())
        co_return;
    invalidateSession();
}

QString SpeedTest::describe(const std::exception_ptr &error)
{
    const QString generic = QStringLiteral("The test couldn't finish: ");
    try {
        std::rethrow_exception(error);
    } catch (const HttpError &e) {
        switch (e.code()) {
        case HttpError::Code::notConnectedToInternet:
        case HttpError::Code::networkConnectionLost:
        case HttpError::Code::dataNotAllowed:
        case HttpError::Code::cannotFindHost:
        case HttpError::Code::cannotConnectToHost:
        case HttpError::Code::dnsLookupFailed:
        case HttpError::Code::internationalRoamingOff:
        case HttpError::Code::timedOut:
            return QStringLiteral("You appear to be offline. Check your Wi-Fi or Ethernet connection and try again.");
        case HttpError::Code::badServerResponse:
            return QStringLiteral("The speed test server rejected the request. Please try again in a moment.");
        case HttpError::Code::cancelled:
        case HttpError::Code::tlsFailed:
        case HttpError::Code::setupFailed:
        case HttpError::Code::clientFailed:
        case HttpError::Code::other:
            break;
        }
        return generic + e.description();
    } catch (const std::exception &e) {
        return generic + QString::fromUtf8(e.what());
    } catch (...) {
        return generic + QStringLiteral("An unknown error occurred.");
    }
}

double SpeedTest::median(QList<double> values)
{
    return medianOf(std::move(values));
}

void SpeedTest::setGauge(double value, const QList<double> &steps)
{
    setGaugeValue(value);
    const double max = raisedGaugeMax(m_gaugeMax, value, steps);
    if (max != m_gaugeMax)
        setGaugeMax(max);
}

// ---- published fields: every assignment notifies, equal or not ------------

#define QUORVEL_PUBLISH(setter, member, type, signal) \
    void SpeedTest::setter(type v)                    \
    {                                                 \
        stopIfCancelled();                            \
        member = std::move(v);                        \
        notify(&SpeedTest::signal);                   \
    }

// A slot may cancel the run that is publishing (or cancel it and start
// another): the run then stops right there, before it publishes more.
void SpeedTest::notify(void (SpeedTest::*signal)())
{
    emit(this->*signal)();
    stopIfCancelled();
    emit changed();
    stopIfCancelled();
}

QUORVEL_PUBLISH(setPhase, m_phase, Phase, phaseChanged)
QUORVEL_PUBLISH(setGaugeValue, m_gaugeValue, double, gaugeValueChanged)
QUORVEL_PUBLISH(setGaugeMax, m_gaugeMax, double, gaugeMaxChanged)
QUORVEL_PUBLISH(setSamples, m_samples, SampleList, samplesChanged)
QUORVEL_PUBLISH(setLatencyMedian, m_latencyMedian, std::optional<double>, latencyMedianChanged)
QUORVEL_PUBLISH(setLatencyMin, m_latencyMin, std::optional<double>, latencyMinChanged)
QUORVEL_PUBLISH(setLatencyMax, m_latencyMax, std::optional<double>, latencyMaxChanged)
QUORVEL_PUBLISH(setJitter, m_jitter, std::optional<double>, jitterChanged)
QUORVEL_PUBLISH(setDownload, m_download, std::optional<double>, downloadChanged)
QUORVEL_PUBLISH(setUpload, m_upload, std::optional<double>, uploadChanged)
QUORVEL_PUBLISH(setErrorMessage, m_errorMessage, std::optional<QString>, errorMessageChanged)
QUORVEL_PUBLISH(setStatus, m_status, QString, statusChanged)
QUORVEL_PUBLISH(setIsOnline, m_isOnline, bool, isOnlineChanged)
QUORVEL_PUBLISH(setLastResult, m_lastResult, std::optional<TestResult>, lastResultChanged)

#undef QUORVEL_PUBLISH

void SpeedTest::appendSample(Sample s)
{
    stopIfCancelled();
    m_samples.append(s);
    notify(&SpeedTest::samplesChanged);
}
