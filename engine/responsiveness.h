#pragma once
// ResponsivenessTest: round trips per minute (RPM) while the link is kept
// busy, after the IETF method "Responsiveness under Working Conditions".
// A second kind of measurement beside the speed test, with sessions of its
// own; one direction after the other.
//
// Per direction: load connections, one more each interval up to the limit,
// each running one transfer too long to end (a transfer the server ends is
// replaced; one that fails ends the run). Probe pairs are sent throughout:
// a foreign probe on a new connection, timed in its parts, and a self probe
// that times a round trip of a load connection: a request on it where it
// speaks HTTP/2, else a TCP round-trip estimate. After every interval the
// rule of responsivenessmath.h decides whether the goodput has saturated,
// then whether the responsiveness has settled; otherwise the time limit
// ends the direction. The figures come from the probes that completed in
// the last window of intervals.
//
// Main thread. The steps run as coroutines of the async layer; cancel()
// stops them at once and nothing is reported after it.
#include "async.h"
#include "httpsession.h"
#include "responsivenessmath.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <vector>


enum class RpmDirection { download, upload };

// Where the three kinds of request go: from the server's /.well-known/nq
// when it offers a valid configuration, else /__down and /__up.
struct RpmUrls {
    QString large, small, upload;
    bool discovered = false;
};

// A version 1 configuration whose three URLs are http or https on one
// host; anything else is none (the client then ignores it whole).
std::optional<RpmUrls> parseRpmConfiguration(const QByteArray &json);
RpmUrls fallbackRpmUrls(const QString &origin);

// What a self probe times.
enum class SelfProbeKind {
    none,
    http2Stream,    // a request on the load connection itself
    senderTcpRtt,   // the TCP round-trip estimate of the side that sends
    receiverTcpRtt, // the receiving client's estimate, where the sender's is unknown
};

struct RpmDirectionResult {
    RpmDirection direction = RpmDirection::download;
    RpmFigures figures; // from the probes of the last window
    RpmConfidence confidence = RpmConfidence::low;
    double goodputMbps = 0; // over the last window
    int connections = 0;    // load connections at the end
    int intervals = 0;
    int saturatedAt = -1;   // the interval the goodput saturated in
    bool stable = false;
    int foreignProbes = 0, selfProbes = 0; // in the last window
    int failedProbes = 0;                  // over the direction; never counted
    SelfProbeKind selfKind = SelfProbeKind::none;
    double seconds = 0;
};

// After each interval, for a progress display.
struct RpmProgress {
    RpmDirection direction = RpmDirection::download;
    int interval = 0; // intervals done
    int connections = 0;
    double goodputMbps = 0;
    std::optional<double> rpm;
    bool saturated = false;
};

class ResponsivenessTest final : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString origin;
        std::vector<RpmDirection> directions{RpmDirection::download, RpmDirection::upload};
        RpmParameters parameters;
        // A transfer or probe that moves nothing this long fails.
        std::chrono::milliseconds idleTimeout{20'000};
        // HTTP/2 from the first byte on http too (the server must speak it).
        // On https it is offered anyway and used where the server agrees.
        bool http2PriorKnowledge = false;
    };

    explicit ResponsivenessTest(Options options, QObject *parent = nullptr);
    ~ResponsivenessTest() override;

    // start() runs once; cancel() stops a running measurement silently.
    void start();
    void cancel();
    bool isRunning() const { return m_running; }

    const Options &options() const { return m_options; }
    const RpmUrls &urls() const { return m_urls; }
    const RpmProgress &progress() const { return m_progress; }
    // One per finished direction.
    const std::vector<RpmDirectionResult> &results() const { return m_results; }
    // After a failure: the message for the user and its cause in one line.
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    const QString &errorCause() const { return m_errorCause; }

signals:
    void progressed();
    // Every direction measured, or a failure; never after cancel().
    void ended();

private:
    struct Load;
    struct Window {
        RpmFigures figures;
        int foreign = 0, self = 0;
    };

    async::Task<void> run();
    async::Task<void> discover();
    async::Task<RpmDirectionResult> measure(RpmDirection direction);
    async::Task<void> addLoad(RpmDirection direction);
    async::Task<void> keepLoading(std::shared_ptr<Load> load, RpmDirection direction);
    async::Task<void> waitUntil(std::chrono::steady_clock::time_point deadline);
    async::Task<void> sendProbes(const WorkingConditions *rule, std::chrono::steady_clock::time_point start);
    async::Task<std::optional<HttpResponse>> probeFetch(HttpSession &session, HttpRequest request);
    // A request for the URL in the HTTP the options choose.
    HttpRequest request(const QString &url) const;
    // Whether load connections may speak HTTP/2, and so share it with probes.
    bool mayMultiplex() const;
    async::Task<void> foreignProbe();
    async::Task<void> selfProbe();
    // The probes that completed in the window ending with the current interval.
    Window window() const;
    void stopLoad();
    void wakeUp();

    Options m_options;
    RpmUrls m_urls;
    RpmProgress m_progress;
    std::vector<RpmDirectionResult> m_results;
    std::optional<QString> m_errorMessage;
    QString m_errorCause;

    bool m_running = false;
    std::optional<async::TaskHandle> m_task;
    std::shared_ptr<HttpSession> m_setup;
    std::vector<std::shared_ptr<Load>> m_load;
    std::exception_ptr m_loadFailure;
    std::shared_ptr<HttpSession> m_probeSession;
    std::vector<async::TaskHandle> m_probeTasks; // the prober and its probes
    int m_interval = 0; // of the running direction, from 0
    RpmDirection m_direction = RpmDirection::download;
    SelfProbeKind m_selfKind = SelfProbeKind::none;
    QList<std::pair<int, ForeignTimes>> m_foreign; // with the interval each completed in
    QList<std::pair<int, double>> m_self;
    int m_failedProbes = 0;
    std::optional<async::Promise<void>> m_wake;
    QTimer m_intervalEnd;
};
