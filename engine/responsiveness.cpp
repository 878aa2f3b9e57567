#include "responsiveness.h"

#include "httpawait.h"
#include "httpsession.h"
#include "speedtest.h"
#include "testoutcome.h"
#include "transferdelegate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUrl>

#include <cmath>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

std::optional<RpmUrls> parseRpmConfiguration(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    if (const QJsonValue version = root.value(QLatin1String("version")); !version.isDouble() || version.toDouble() != 1)
        return std::nullopt;
    // Connections cannot be sent to another host than the URLs name.
    if (root.contains(QLatin1String("test_endpoint")))
        return std::nullopt;
    const QJsonObject urls = root.value(QLatin1String("urls")).toObject();
    RpmUrls result;
    result.discovered = true;
    QString host;
    for (const auto &[name, into] : {std::pair{"large_download_url", &result.large},
                                     std::pair{"small_download_url", &result.small},
                                     std::pair{"upload_url", &result.upload}}) {
        const QJsonValue value = urls.value(QLatin1String(name));
        const QUrl url(value.toString(), QUrl::StrictMode);
        if (!value.isString() || !url.isValid() || url.host().isEmpty()
            || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
            || (!host.isNull() && url.host() != host))
            return std::nullopt;
        host = url.host();
        *into = value.toString();
    }
    return result;
}

RpmUrls fallbackRpmUrls(const QString &origin)
{
    return {origin + QStringLiteral("/__down?bytes=100000000000"), origin + QStringLiteral("/__down?bytes=1"),
            origin + QStringLiteral("/__up"), false};
}

// One load-generating connection: a session of its own, so that its
// transfers keep to one connection, and the bytes they move.
struct ResponsivenessTest::Load {
    std::shared_ptr<HttpSession> session;
    std::shared_ptr<TransferDelegate> counter = std::make_shared<TransferDelegate>();
    std::optional<async::TaskHandle> task;
    // How the bundled server names this connection, so that it can tell
    // its round trip (GET /__rtt); empty elsewhere.
    QString token;
    // It speaks HTTP/2: a self probe is a request on it.
    bool http2 = false;
};

ResponsivenessTest::ResponsivenessTest(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
    while (m_options.origin.endsWith(QLatin1Char('/')))
        m_options.origin.chop(1);
    m_intervalEnd.setSingleShot(true);
    m_intervalEnd.setTimerType(Qt::PreciseTimer);
    connect(&m_intervalEnd, &QTimer::timeout, this, &ResponsivenessTest::wakeUp);
}

ResponsivenessTest::~ResponsivenessTest()
{
    if (m_task)
        m_task->destroy();
    stopLoad();
    if (m_setup)
        m_setup->invalidate();
}

void ResponsivenessTest::start()
{
    if (m_task)
        return;
    m_running = true;
    m_task.emplace(async::launch(run()));
}

void ResponsivenessTest::cancel()
{
    const async::OutsideTasks outside;
    m_running = false;
    if (m_task)
        m_task->cancel();
    // Every wait ends now and each task unwinds by itself: cancel() may be
    // called from inside one of them, which must not lose its frame here.
    for (const auto &load : m_load)
        load->session->invalidate();
    for (const auto &session : {m_probeSession, m_setup})
        if (session)
            session->invalidate();
    wakeUp();
}

void ResponsivenessTest::wakeUp()
{
    m_intervalEnd.stop();
    if (m_wake)
        std::exchange(m_wake, std::nullopt)->resolve();
}

async::Task<void> ResponsivenessTest::run()
{
    RpmDirection current = m_options.directions.empty() ? RpmDirection::download : m_options.directions.front();
    std::exception_ptr failure;
    try {
        co_await discover();
        for (const RpmDirection direction : m_options.directions) {
            current = direction;
            m_results.push_back(co_await measure(direction));
        }
    } catch (const async::CancelledError &) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        stopLoad();
        // A transfer that cancel() cut short ends like this too.
        if (co_await async::isCancelled())
            co_return;
        m_errorMessage = SpeedTest::describe(failure);
        m_errorCause = failureCause(failure, current == RpmDirection::upload ? Phase::upload : Phase::download,
                                    m_options.origin);
    }
    m_running = false;
    emit ended();
}

HttpRequest ResponsivenessTest::request(const QString &url) const
{
    HttpRequest request;
    request.url = url.toStdString();
    request.version = m_options.http2PriorKnowledge ? HttpVersion::http2PriorKnowledge : HttpVersion::http2;
    return request;
}

bool ResponsivenessTest::mayMultiplex() const
{
    return m_options.http2PriorKnowledge || QUrl(m_urls.large).scheme() == QLatin1String("https");
}

async::Task<void> ResponsivenessTest::discover()
{
    m_setup = HttpSession::create({.idleTimeout = m_options.idleTimeout});
    HttpRequest request = this->request(m_options.origin + QStringLiteral("/.well-known/nq"));
    request.timeout = m_options.idleTimeout;
    const HttpResponse response = co_await fetchResponse(*m_setup, std::move(request));
    const auto configured = response.status == 200 ? parseRpmConfiguration(response.body) : std::nullopt;
    m_urls = configured.value_or(fallbackRpmUrls(m_options.origin));
    m_setup.reset();
}

async::Task<void> ResponsivenessTest::addLoad(RpmDirection direction)
{
    auto load = std::make_shared<Load>();
    load->counter->countsReceived = direction == RpmDirection::download;
    load->session = HttpSession::create({.idleTimeout = m_options.idleTimeout,
                                         .maxConnectionsPerHost = 1,
                                         .observer = load->counter,
                                         .multiplex = mayMultiplex()});
    m_load.push_back(load);
    if (direction == RpmDirection::download || mayMultiplex()) {
        // Opens the connection the load will keep, and learns its name and
        // its HTTP version.
        HttpRequest hello = request(m_urls.small);
        hello.timeout = m_options.idleTimeout;
        hello.headers = {{"Accept-Encoding", "identity"}};
        const HttpResponse response = co_await fetchResponse(*load->session, std::move(hello));
        if (response.status != 200)
            throw HttpError(HttpError::Code::badServerResponse, {}, {.httpStatus = response.status});
        load->http2 = response.http2;
        for (const auto &[name, value] : response.headers)
            if (QByteArray::fromStdString(name).compare("Quorvel-Connection", Qt::CaseInsensitive) == 0)
                load->token = QString::fromStdString(value);
    }
    // A companion of the run, cancelled with it.
    async::TaskHandle task = co_await async::spawn(keepLoading(load, direction));
    load->task.emplace(std::move(task));
}

void ResponsivenessTest::stopLoad()
{
    for (auto &task : m_probeTasks)
        task.destroy();
    m_probeTasks.clear();
    if (auto probes = std::exchange(m_probeSession, nullptr))
        probes->invalidate();
    // The tasks first, so that the cancelled transfers fail nobody.
    for (const auto &load : m_load)
        if (load->task)
            load->task->destroy();
    for (const auto &load : m_load)
        load->session->invalidate();
    m_load.clear();
}

async::Task<void> ResponsivenessTest::keepLoading(std::shared_ptr<Load> load, RpmDirection direction)
{
    try {
        for (;;) {
            HttpRequest request = this->request(direction == RpmDirection::download ? m_urls.large : m_urls.upload);
            request.timeout = 0ms; // runs until the direction ends
            if (direction == RpmDirection::download) {
                request.headers = {{"Accept-Encoding", "identity"}};
                co_await load->counter->run(load->session->dataTransfer(std::move(request)));
            } else {
                request.method = "POST";
                request.headers = {{"Content-Type", "application/octet-stream"}};
                co_await load->counter->run(load->session->endlessUpload(std::move(request)));
            }
            // The server ended it at its size limit: the next one follows.
        }
    } catch (const async::CancelledError &) {
        throw;
    } catch (...) {
        if (!m_loadFailure)
            m_loadFailure = std::current_exception();
        wakeUp();
    }
}

async::Task<void> ResponsivenessTest::waitUntil(Clock::time_point deadline)
{
    async::Promise<void> wake;
    async::Future<void> woken = wake.future();
    m_wake.emplace(std::move(wake));
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    m_intervalEnd.start(std::max(left, 0ms));
    co_await std::move(woken);
}

async::Task<RpmDirectionResult> ResponsivenessTest::measure(RpmDirection direction)
{
    const RpmParameters &p = m_options.parameters;
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(p.intervalSecs));
    const auto start = Clock::now();
    WorkingConditions rule(p);
    // Whatever ends the direction ends its connections and probes.
    struct Stop {
        ResponsivenessTest *test;
        ~Stop() { test->stopLoad(); }
    } stop{this};
    m_loadFailure = nullptr;
    m_progress = {direction, 0, 0, 0, std::nullopt, false};
    m_foreign.clear();
    m_self.clear();
    m_failedProbes = 0;
    m_interval = 0;
    m_direction = direction;
    m_probeSession = HttpSession::create({.idleTimeout = m_options.idleTimeout});
    std::int64_t counted = 0;
    Window last;
    while (!rule.finished()) {
        while (int(m_load.size()) < rule.connections())
            co_await addLoad(direction);
        if (m_probeTasks.empty()) {
            // Over HTTP/1.1, on an upload this side sends; on a download only
            // the bundled server can tell its side's estimate.
            const bool named = direction == RpmDirection::upload || !m_load.front()->token.isEmpty();
            m_selfKind = m_load.front()->http2 ? SelfProbeKind::http2Stream
                : named                        ? SelfProbeKind::senderTcpRtt
                                               : SelfProbeKind::none;
            async::TaskHandle prober = co_await async::spawn(sendProbes(&rule, start));
            m_probeTasks.push_back(std::move(prober));
        }
        co_await waitUntil(start + interval * (rule.intervals() + 1));
        if (m_loadFailure)
            std::rethrow_exception(m_loadFailure);
        std::int64_t total = 0;
        for (const auto &load : m_load)
            total += load->counter->bytes();
        last = window();
        rule.endInterval(total - counted, last.figures.rpm);
        counted = total;
        m_interval = rule.intervals();
        m_progress = {direction, rule.intervals(), int(m_load.size()), rule.goodput() * 8 / 1e6, last.figures.rpm,
                      rule.goodputSaturated()};
        emit progressed();
        co_await async::checkCancelled();
    }
    RpmDirectionResult result;
    result.direction = direction;
    result.figures = last.figures;
    result.foreignProbes = last.foreign;
    result.selfProbes = last.self;
    result.failedProbes = m_failedProbes;
    result.selfKind = m_selfKind;
    result.confidence = rule.confidence();
    result.goodputMbps = rule.goodput() * 8 / 1e6;
    result.connections = int(m_load.size());
    result.intervals = rule.intervals();
    result.saturatedAt = rule.saturatedAt();
    result.stable = rule.responsivenessStable();
    result.seconds = secondsSince(start);
    co_return result;
}

async::Task<void> ResponsivenessTest::sendProbes(const WorkingConditions *rule, Clock::time_point start)
{
    // One kind, then the other, evenly spaced: a pair per 1/pairs seconds,
    // as many as the goodput affords. The rate is looked at again at least
    // ten times an interval, and before the first interval ends it comes
    // from the bytes so far.
    const auto look = std::chrono::duration<double>(m_options.parameters.intervalSecs / 10);
    auto last = Clock::now() - std::chrono::hours(1);
    for (bool foreign = true;;) {
        double goodput = rule->goodput();
        if (rule->intervals() == 0) {
            std::int64_t bytes = 0;
            for (const auto &load : m_load)
                bytes += load->counter->bytes();
            goodput = double(bytes) / std::max(secondsSince(start), 0.01);
        }
        const auto gap = std::chrono::duration<double>(0.5 / probePairsPerSecond(goodput, m_options.parameters));
        if (Clock::now() - last >= gap) {
            last = Clock::now();
            std::erase_if(m_probeTasks, [](const async::TaskHandle &t) { return t.isFinished(); });
            // (Two co_awaits: g++ 12 destroys a task chosen by ?: twice.)
            if (foreign) {
                async::TaskHandle probe = co_await async::spawn(foreignProbe());
                m_probeTasks.push_back(std::move(probe));
            } else if (m_selfKind != SelfProbeKind::none) {
                async::TaskHandle probe = co_await async::spawn(selfProbe());
                m_probeTasks.push_back(std::move(probe));
            }
            foreign = !foreign;
        }
        const auto wait = std::min<Clock::duration>(std::chrono::duration_cast<Clock::duration>(look),
                                                    last + std::chrono::duration_cast<Clock::duration>(gap) - Clock::now());
        co_await async::sleepFor(std::max<Clock::duration>(wait, std::chrono::milliseconds(1)));
    }
}

// A probe's request; none when it failed (a probe's failure is counted,
// not fatal). Each probe sends one with a fresh HttpRequest.
async::Task<std::optional<HttpResponse>> ResponsivenessTest::probeFetch(HttpSession &session, HttpRequest request)
{
    request.timeout = m_options.idleTimeout;
    std::optional<HttpResponse> response;
    try {
        response = co_await fetchResponse(session, std::move(request));
    } catch (const async::CancelledError &) {
        throw;
    } catch (...) {
    }
    if (!response)
        ++m_failedProbes;
    co_return response;
}

// A new connection for one tiny request, closed after it: its handshake,
// TLS set-up per round trip, and the request, from curl's timings.
async::Task<void> ResponsivenessTest::foreignProbe()
{
    HttpRequest request = this->request(m_urls.small);
    request.freshConnection = true;
    const std::optional<HttpResponse> response = co_await probeFetch(*m_probeSession, std::move(request));
    if (!response || response->status != 200) {
        m_failedProbes += response.has_value();
        co_return;
    }
    const FetchTimings &t = response->timings;
    const double ready = t.tlsRoundTrips > 0 ? t.tlsDone : t.connect;
    ForeignTimes times{(t.connect - t.nameLookup) * 1000, std::nullopt, (t.total - ready) * 1000};
    if (t.tlsRoundTrips > 0)
        times.tls = (t.tlsDone - t.connect) * 1000 / t.tlsRoundTrips;
    m_foreign.append({m_interval, times});
}

async::Task<void> ResponsivenessTest::selfProbe()
{
    if (m_selfKind == SelfProbeKind::http2Stream) {
        // A stream beside the load's on its connection: the request waits
        // behind what that connection has queued, as the draft's self probe.
        std::vector<std::shared_ptr<Load>> streams;
        for (const auto &load : m_load)
            if (load->http2)
                streams.push_back(load);
        if (streams.empty())
            co_return;
        const std::shared_ptr<Load> load = streams[QRandomGenerator::global()->bounded(int(streams.size()))];
        const std::optional<HttpResponse> response = co_await probeFetch(*load->session, request(m_urls.small));
        if (response && response->status == 200 && response->http2)
            m_self.append({m_interval, response->timings.total * 1000});
        else
            m_failedProbes += response.has_value();
        co_return;
    }
    if (m_direction == RpmDirection::upload) {
        const auto &load = m_load[QRandomGenerator::global()->bounded(int(m_load.size()))];
        if (const std::optional<double> ms = load->counter->roundTripMs())
            m_self.append({m_interval, *ms});
        co_return;
    }
    std::vector<std::shared_ptr<Load>> named;
    for (const auto &load : m_load)
        if (!load->token.isEmpty())
            named.push_back(load);
    if (named.empty())
        co_return;
    const std::shared_ptr<Load> load = named[QRandomGenerator::global()->bounded(int(named.size()))];
    QUrl url(m_urls.large);
    url.setPath(QStringLiteral("/__rtt"));
    url.setQuery(QStringLiteral("connection=") + load->token);
    const std::optional<HttpResponse> response =
        co_await probeFetch(*m_probeSession, request(url.toString(QUrl::FullyEncoded)));
    if (!response)
        co_return;
    const QJsonValue rtt = QJsonDocument::fromJson(response->body).object().value(QLatin1String("rtt_us"));
    if (response->status == 200 && rtt.isDouble()) {
        m_self.append({m_interval, rtt.toDouble() / 1000});
        co_return;
    }
    ++m_failedProbes;
    if (response->status == 404)
        load->token.clear(); // not that connection any more
}

ResponsivenessTest::Window ResponsivenessTest::window() const
{
    const RpmParameters &p = m_options.parameters;
    const int first = m_interval - p.movingAverageIntervals + 1;
    QList<ForeignTimes> foreign;
    QList<double> self;
    for (const auto &[at, times] : m_foreign)
        if (at >= first)
            foreign.append(times);
    for (const auto &[at, ms] : m_self)
        if (at >= first)
            self.append(ms);
    const bool tls = QUrl(m_urls.small).scheme() == QLatin1String("https");
    return {rpmOf(foreign, self, tls, p.trimmedTop), int(foreign.size()), int(self.size())};
}
