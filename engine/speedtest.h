#pragma once
// SpeedTest: the one engine object. Owns every piece of live test state the
// screens show, runs latency, download and upload in order, turns a
// finished test into a TestResult handed to onFinish, and tells how every
// test ended as a TestOutcome.
//
// Lives on the main thread; every field is read and written there only.
// Every assignment to a published field emits its NOTIFY signal and then
// changed(), also when the value did not change, so views can redraw from
// state. Only SpeedTest's own methods write the fields.
//
// start() and cancel() may be called from any slot, also from one that a
// running test's own notification reached (onFinish included): a test that
// has been cancelled or replaced publishes nothing more, and never touches
// the session or the state of the test that replaced it.
#include "async.h"
#include "pathmonitor.h"
#include "phase.h"
#include "sample.h"
#include "testoutcome.h"
#include "testresult.h"

#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include <chrono>
#include <cstdint>
#include <vector>

class HttpSession;
class TransferDelegate;

// The public speed-test service. Replaceable at construction (tests, the
// bundled server, --server).
inline constexpr const char *defaultServerOrigin = "https://speed.cloudflare.com";

class SpeedTest final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpeedTest)
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(double gaugeValue READ gaugeValue NOTIFY gaugeValueChanged)
    Q_PROPERTY(double gaugeMax READ gaugeMax NOTIFY gaugeMaxChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool isOnline READ isOnline NOTIFY isOnlineChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY phaseChanged)

public:
    // The monitor defaults to the platform's network-path monitor. The
    // object starts watching connectivity at once.
    explicit SpeedTest(QString origin = QString::fromLatin1(defaultServerOrigin),
                       std::unique_ptr<PathMonitor> monitor = {}, QObject *parent = nullptr);
    ~SpeedTest() override;

    Phase phase() const { return m_phase; }
    double gaugeValue() const { return m_gaugeValue; }
    double gaugeMax() const { return m_gaugeMax; }
    const SampleList &samples() const { return m_samples; }
    std::optional<double> latencyMedian() const { return m_latencyMedian; }
    std::optional<double> latencyMin() const { return m_latencyMin; }
    std::optional<double> latencyMax() const { return m_latencyMax; }
    std::optional<double> jitter() const { return m_jitter; }
    std::optional<double> download() const { return m_download; }
    std::optional<double> upload() const { return m_upload; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    QString status() const { return m_status; }
    bool isOnline() const { return m_isOnline; }
    std::optional<TestResult> lastResult() const { return m_lastResult; }
    bool isRunning() const { return isRunningPhase(m_phase); }
    // How the last test ended, from the moment its ending began to be
    // published; nothing before the first test and while one runs.
    const std::optional<TestOutcome> &outcome() const { return m_outcome; }
    QString origin() const { return m_origin; }

    // Idle timeouts of the phases' sessions, and the limit on each whole
    // latency request and on each throughput batch (cut there, not failed).
    // Tools and tests may shorten them before start(); the defaults are the
    // product's.
    struct Timeouts {
        std::chrono::milliseconds latency{8'000};
        std::chrono::milliseconds throughput{20'000};
        std::chrono::milliseconds request{60'000};
    } timeouts;

    // Called once per successful test, synchronously, on the main thread.
    std::function<void(const TestResult &)> onFinish;

    // Both return at once. start() is ignored while a test runs.
    void start();
    void cancel();

    // The one user-facing message for an error that ended a test.
    static QString describe(const std::exception_ptr &error);

    // Gauge steps: milliseconds for latency, Mbps for the transfer phases.
    static const QList<double> latencySteps;
    static const QList<double> throughputSteps;
    static double median(QList<double> values);

signals:
    void phaseChanged();
    void gaugeValueChanged();
    void gaugeMaxChanged();
    void samplesChanged();
    void latencyMedianChanged();
    void latencyMinChanged();
    void latencyMaxChanged();
    void jitterChanged();
    void downloadChanged();
    void uploadChanged();
    void errorMessageChanged();
    void statusChanged();
    void isOnlineChanged();
    void lastResultChanged();
    // After any published field was assigned.
    void changed();
    // Once for every test that start() launched, when its ending has been
    // published: done (then onFinish is called), failed, or cancelled (from
    // cancel()). A run that stops without a figure or on a cancelled
    // transfer nobody asked for publishes nothing, as before, but is failed
    // here all the same, so no listener waits for ever.
    void ended(const TestOutcome &outcome);

private:
    async::Task<void> run();
    void deliverOutcome();
    async::Task<void> measureLatency();
    async::Task<double> ping(std::shared_ptr<HttpSession> session);
    async::Task<void> measureThroughput(bool upload);
    async::Task<void> sampleLive(std::shared_ptr<TransferDelegate> delegate,
                                 std::chrono::steady_clock::time_point phaseStart);
    void setGauge(double value, const QList<double> &steps);
    void invalidateSession();
    void notify(void (SpeedTest::*signal)());

    void setPhase(Phase v);
    void setGaugeValue(double v);
    void setGaugeMax(double v);
    void setSamples(SampleList v);
    void appendSample(Sample s);
    void setLatencyMedian(std::optional<double> v);
    void setLatencyMin(std::optional<double> v);
    void setLatencyMax(std::optional<double> v);
    void setJitter(std::optional<double> v);
    void setDownload(std::optional<double> v);
    void setUpload(std::optional<double> v);
    void setErrorMessage(std::optional<QString> v);
    void setStatus(QString v);
    void setIsOnline(bool v);
    void setLastResult(std::optional<TestResult> v);

    Phase m_phase = Phase::idle;
    double m_gaugeValue = 0;
    double m_gaugeMax = 100;
    double m_downloadGaugeMax = 100; // where the download phase left the scale
    SampleList m_samples;
    std::optional<double> m_latencyMedian;
    std::optional<double> m_latencyMin;
    std::optional<double> m_latencyMax;
    std::optional<double> m_jitter;
    std::optional<double> m_download;
    std::optional<double> m_upload;
    std::optional<QString> m_errorMessage;
    QString m_status = QStringLiteral("Ready");
    bool m_isOnline = true;
    std::optional<TestResult> m_lastResult;

    std::optional<TestOutcome> m_outcome;
    bool m_outcomeOwed = false; // the current test has not told its outcome yet
    QString m_origin;
    std::vector<async::TaskHandle> m_tasks; // the last one is the current test's
    std::uint64_t m_launches = 0;
    std::shared_ptr<HttpSession> m_session;
    std::unique_ptr<PathMonitor> m_monitor;
};
