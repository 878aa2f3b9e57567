// Whole tests against the bundled server: the download and upload phases,
// what a finished test publishes, and how transfer faults and cancels end it.
#include "speedtestharness.h"

#include <QSignalSpy>
#include <QtTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(FaultRule)

namespace {
// The latency phase asks 21 times; the download's first batch follows.
constexpr int firstDownload = 22;

const std::vector<std::int64_t> downloadSizes = {2'000'000, 8'000'000, 20'000'000, 50'000'000, 100'000'000};
const std::vector<std::int64_t> uploadSizes = {1'000'000, 4'000'000, 10'000'000, 25'000'000, 50'000'000};
} // namespace

class TestThroughputPhase : public QObject {
    Q_OBJECT

private slots:
    // Throttled, so that the live points can be held to a known link.
    void wholeTestEndsDone()
    {
        constexpr std::int64_t perTransfer = 4'000'000; // bytes per second
        SpeedTestHarness h({.throttleBytesPerSecond = perTransfer});
        QVERIFY(h.open());
        bool resultBeforeDone = false;
        QList<Phase> phases;
        QObject::connect(h.test.get(), &SpeedTest::phaseChanged, h.test.get(), [&] {
            phases.append(h.test->phase());
            if (h.test->phase() == Phase::done)
                resultBeforeDone = h.test->lastResult().has_value();
        });
        SampleList down, up;
        QObject::connect(h.test.get(), &SpeedTest::samplesChanged, h.test.get(), [&] {
            (h.test->phase() == Phase::upload ? up : down) = h.test->samples();
        });

        h.test->start();
        QVERIFY(QTest::qWaitFor([&] { return h.test->phase() == Phase::done; }, 120000));

        QCOMPARE(phases, (QList<Phase>{Phase::latency, Phase::download, Phase::upload, Phase::done}));
        QVERIFY(resultBeforeDone);
        QCOMPARE(h.test->status(), QStringLiteral("Complete"));
        QCOMPARE(h.finishCalls, 1);
        const auto result = h.test->lastResult();
        QVERIFY(result);
        QVERIFY(*h.finishedWith == *result);
        QCOMPARE(result->download, *h.test->download());
        QCOMPARE(result->upload, *h.test->upload());
        QCOMPARE(result->latencyMedian, *h.test->latencyMedian());
        QCOMPARE(result->jitter, *h.test->jitter());
        QVERIFY(result->download > 0 && result->upload > 0);
        QCOMPARE(h.test->gaugeValue(), result->download);
        QVERIFY(!result->id.isNull());
        QVERIFY(!h.test->errorMessage());

        // The live rate is what the server has taken, from the first second
        // on: counting upload bytes as the kernel accepted them drew up to
        // nine times the link at the start of each batch. The upload's points
        // stay, on one time axis from the phase start.
        for (const auto &[samples, parallel] : {std::pair{down, 6}, std::pair{up, 4}}) {
            const double ceiling = double(parallel * perTransfer) * 8 / 1e6;
            QVERIFY(samples.size() >= 4);
            double highest = 0;
            for (qsizetype i = 1; i < samples.size(); ++i) {
                QVERIFY(samples[i].x > samples[i - 1].x);
                QVERIFY2(samples[i].y <= 1.10 * ceiling,
                         qPrintable(QStringLiteral("%1 Mbps at %2 s, link %3").arg(samples[i].y).arg(samples[i].x).arg(ceiling)));
                highest = std::max(highest, samples[i].y);
            }
            QVERIFY(highest > 0.5 * ceiling);
        }

        // What went over the wire: whole batches of growing size, six GETs
        // with fresh ids, then four POSTs of zeros.
        const auto records = h.server.requests();
        std::vector<RequestRecord> downs, ups;
        for (std::size_t i = 21; i < records.size(); ++i)
            (records[i].path == "/__up" ? ups : downs).push_back(records[i]);
        QVERIFY(!downs.empty() && downs.size() % 6 == 0);
        QVERIFY(!ups.empty() && ups.size() % 4 == 0);
        QSet<std::string> ids;
        for (std::size_t i = 0; i < downs.size(); ++i) {
            QCOMPARE(downs[i].param("bytes"), std::to_string(downloadSizes[i / 6]));
            ids.insert(downs[i].param("r"));
        }
        QCOMPARE(ids.size(), qsizetype(downs.size()));
        for (std::size_t i = 0; i < ups.size(); ++i) {
            QCOMPARE(ups[i].method, std::string("POST"));
            QCOMPARE(ups[i].query, std::string());
            QCOMPARE(ups[i].contentType, std::string("application/octet-stream"));
            QCOMPARE(ups[i].bodyBytes, uploadSizes[i / 4]);
        }
    }

    void transferFaultsEndTheTest_data()
    {
        QTest::addColumn<FaultRule>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("inUpload");

        QTest::newRow("404 on one download") << FaultRule{.nth = firstDownload + 2, .status = 404} << rejectedMessage << false;
        QTest::newRow("503 on the uploads") << FaultRule{.path = "/__up", .status = 503} << rejectedMessage << true;
        QTest::newRow("reset mid-body")
            << FaultRule{.nth = firstDownload + 1, .closeAfterBytes = 100'000, .reset = true} << offlineMessage << false;
        QTest::newRow("closed mid-body")
            << FaultRule{.nth = firstDownload + 1, .closeAfterBytes = 100'000} << offlineMessage << false;
        QTest::newRow("stalled download times out")
            << FaultRule{.nth = firstDownload, .stallAfterBytes = 100'000, .stallFor = 30s} << offlineMessage << false;
        QTest::newRow("stalled upload times out")
            << FaultRule{.path = "/__up", .stallAfterBytes = 100'000, .stallFor = 30s} << offlineMessage << true;
    }
    void transferFaultsEndTheTest()
    {
        QFETCH(FaultRule, fault);
        QFETCH(QString, message);
        QFETCH(bool, inUpload);
        SpeedTestHarness h;
        h.server.addFault(fault);
        QVERIFY(h.open());
        h.test->timeouts.throughput = 1s;
        h.test->start();
        QVERIFY(QTest::qWaitFor([&] { return h.test->status() == QLatin1String("Failed"); }, 60000));
        QCOMPARE(h.test->errorMessage(), std::optional<QString>(message));
        QCOMPARE(h.test->phase(), Phase::idle);
        QCOMPARE(h.test->gaugeValue(), 0.0);
        QVERIFY(h.test->latencyMedian());
        QCOMPARE(h.test->download().has_value(), inUpload);
        QVERIFY(!h.test->upload());
        QVERIFY(!h.test->lastResult());
        QCOMPARE(h.finishCalls, 0);

        // No further batch started.
        const auto records = h.server.requests();
        const std::string path = inUpload ? "/__up" : "/__down";
        const std::size_t perBatch = inUpload ? 4 : 6;
        std::size_t transfers = 0;
        for (std::size_t i = 21; i < records.size(); ++i)
            transfers += records[i].path == path;
        if (!inUpload || fault.nth == 0)
            QCOMPARE(transfers, perBatch);
    }

    void cancelDuringDownloadKeepsLatency()
    {
        SpeedTestHarness h;
        h.server.addFault({.path = "/__down", .throttleBytesPerSecond = 1'000'000});
        QVERIFY(h.open());
        h.test->start();
        QVERIFY(QTest::qWaitFor([&] { return h.test->phase() == Phase::download && !h.test->samples().isEmpty(); }, 30000));
        QSignalSpy after(h.test.get(), &SpeedTest::changed);
        h.test->cancel();
        const int published = after.size();
        QTest::qWait(400);
        QCOMPARE(after.size(), published); // nothing after cancel() itself
        QCOMPARE(h.test->status(), QStringLiteral("Cancelled"));
        QCOMPARE(h.test->phase(), Phase::idle);
        QCOMPARE(h.test->gaugeValue(), 0.0);
        QVERIFY(!h.test->errorMessage());
        QVERIFY(h.test->latencyMedian() && h.test->latencyMin() && h.test->latencyMax() && h.test->jitter());
        QVERIFY(!h.test->download());
        QVERIFY(!h.test->upload());
        QCOMPARE(h.finishCalls, 0);
        QVERIFY(!h.test->samples().isEmpty()); // the drawn points stay
    }
};

QTEST_GUILESS_MAIN(TestThroughputPhase)
#include "tst_throughputphase.moc"
