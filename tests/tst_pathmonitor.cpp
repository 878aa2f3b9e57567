// Whether a usable network path exists, as the system's monitor reports it
// from the kernel's routes, on its own thread.
#include "pathmonitor.h"

#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {
// Runs `ip` commands, separated by ";", and then `then`, on a thread inside
// the network namespace `ns`; -1 makes a new one and keeps it in `ns`.
bool inNamespace(int &ns, const QString &commands, const std::function<void()> &then = {})
{
    bool ok = false;
    std::thread([&] {
        ok = ns < 0 ? ::unshare(CLONE_NEWNET) == 0 && (ns = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) >= 0
                    : ::setns(ns, CLONE_NEWNET) == 0;
        for (const QString &command : commands.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            ok = ok && std::system(qPrintable(QStringLiteral("ip ") + command)) == 0;
        if (ok && then)
            then();
    }).join();
    return ok;
}

const QString lo = QStringLiteral("link set lo up;");
// A LAN without a gateway, then one whose gateway 10.9.0.2 never answers
// (v1, the far end, holds no address).
const QString lan = lo + QStringLiteral("link add v0 type veth peer name v1; link set v0 up; link set v1 up;"
                                        "addr add 10.9.0.1/24 dev v0;");
const QString gateway = lan + QStringLiteral("route add default via 10.9.0.2;");
} // namespace

class TestPathMonitor : public QObject {
    Q_OBJECT

private slots:
    // The system's monitor in a network namespace of its own (CI runs as
    // root), so nothing leaves it: the first report, and the report after
    // `change`. An empty server looks for a default route.
    void systemMonitor_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("first");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("after");
        const QString none;
        QTest::newRow("IPv4 default route") << none << gateway << true << "route del default" << false;
        QTest::newRow("IPv6 default route only")
            << none << lan + "-6 addr add fd00::1/64 dev v0 nodad; -6 route add default via fd00::2" << true << none
            << true;
        QTest::newRow("IPv4 reject default route") << none << lan + "route add prohibit default" << false << none
                                                   << false;
        QTest::newRow("IPv6 reject default route") << none << lan + "-6 route add unreachable default" << false
                                                   << none << false;
        QTest::newRow("default route on a link without carrier")
            << none << gateway + "link set v1 down" << false << "link set v1 up" << true;
        QTest::newRow("default route through loopback") << none << lo + "route add default dev lo" << false << none
                                                        << false;
        QTest::newRow("only a subnet route") << none << lan << false << none << false;

        QTest::newRow("loopback server, no default route") << "127.0.0.1" << lo << true << "link set lo down" << false;
        QTest::newRow("IPv6 loopback server, lo down") << "::1" << none << false << lo << true;
        QTest::newRow("localhost by name") << "localhost" << lo << true << "link set lo down" << false;
        QTest::newRow("prohibit route to the server")
            << "10.1.1.1" << gateway + "route add prohibit 10.1.1.1" << false << "route del prohibit 10.1.1.1" << true;
        QTest::newRow("unreachable route") << "10.1.1.1" << gateway + "route add unreachable 10.1.1.1" << false
                                           << none << false;
        QTest::newRow("blackhole route") << "10.1.1.1" << gateway + "route add blackhole 10.1.1.1" << false << none
                                         << false;
        QTest::newRow("throw route") << "10.1.1.1" << gateway + "route add throw 10.1.1.1" << false << none << false;
        QTest::newRow("LAN server without a gateway, carrier comes")
            << "10.9.0.7" << lan + "link set v1 down" << false << "link set v1 up" << true;
        QTest::newRow("no route to the server") << "10.1.1.1" << lan << false << none << false;
        QTest::newRow("unresolvable name: the default route decides")
            << "quorvel.invalid" << gateway << true << "route del default" << false;
    }
    void systemMonitor()
    {
        QFETCH(QString, server);
        QFETCH(QString, setup);
        QFETCH(bool, first);
        QFETCH(QString, change);
        QFETCH(bool, after);
        std::atomic<int> firstReport{-1}, lastReport{-1};
        std::unique_ptr<PathMonitor> monitor;
        int ns = -1;
        // The monitor's thread starts in the namespace and stays there.
        const bool inside = inNamespace(ns, setup, [&] {
            monitor = createSystemPathMonitor(server.toStdString());
            monitor->start([&](bool usable) {
                int noneYet = -1;
                firstReport.compare_exchange_strong(noneYet, usable);
                lastReport = usable;
            });
        });
        QVERIFY2(inside, "cannot set up a network namespace (needs root)");
        QTRY_VERIFY_WITH_TIMEOUT(firstReport >= 0, 30000);
        QCOMPARE(firstReport.load(), int(first));
        if (!change.isEmpty()) {
            QVERIFY(inNamespace(ns, change));
            QTRY_COMPARE_WITH_TIMEOUT(lastReport.load(), int(after), 30000);
        }
        monitor.reset();
        ::close(ns);
    }
};

QTEST_GUILESS_MAIN(TestPathMonitor)
#include "tst_pathmonitor.moc"
