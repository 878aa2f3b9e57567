// Whether a usable network path exists, read from the routing tables, and
// the monitor's thread reporting it from the kernel's routes.
#include "pathmonitor.h"
#include "routetable.h"

#include <QtTest>

#include <sched.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace {
// Routes as /proc/net/route and /proc/net/ipv6_route print them.
QString v4(const char *iface, const char *dest, const char *flags, const char *mask)
{
    return QStringLiteral("%1\t%2\t010200C0\t%3\t0\t0\t0\t%4\t0\t0\t0\n").arg(iface, dest, flags, mask);
}
QString v6(const char *iface, const char *flags)
{
    return QStringLiteral("%1 00 %1 00 fd000000000000000000000000000001 00000400 00000002 00000000 %2 %3\n")
        .arg(QString(32, QLatin1Char('0')), flags, iface);
}
// `ip` commands, separated by ";", in the calling thread's network namespace.
bool ip(const QString &commands)
{
    for (const QString &command : commands.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (std::system(qPrintable(QStringLiteral("ip ") + command)) != 0)
            return false;
    }
    return true;
}

// A LAN without a gateway, then one whose gateway 10.9.0.2 never answers
// (v1, the far end, holds no address).
const QString lan = QStringLiteral("link set lo up; link add v0 type veth peer name v1; link set v0 up;"
                                   "link set v1 up; addr add 10.9.0.1/24 dev v0;");
const QString gateway = lan + QStringLiteral("route add default via 10.9.0.2;");

// The monitor's reports, and a generous wait for the index-th of them.
struct Reports {
    std::mutex mutex;
    std::condition_variable added;
    std::vector<bool> seen;

    std::optional<bool> at(std::size_t index)
    {
        std::unique_lock lock(mutex);
        if (!added.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() > index; }))
            return std::nullopt;
        return bool(seen[index]);
    }
};
} // namespace

class TestPathMonitor : public QObject {
    Q_OBJECT

    static void columns()
    {
        QTest::addColumn<QString>("ipv4");
        QTest::addColumn<QString>("ipv6");
    }
    // The current row's tables; eth0 is up, every other interface down.
    static bool rowIsUsable()
    {
        QFETCH(QString, ipv4);
        QFETCH(QString, ipv6);
        std::istringstream v4Table("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                                   + ipv4.toStdString());
        std::istringstream v6Table(ipv6.toStdString());
        return hasUsableDefaultRoute(v4Table, v6Table, [](const std::string &name) { return name == "eth0"; });
    }

private slots:
    void usableRoutes_data()
    {
        columns();
        QTest::newRow("IPv4 default route") << v4("eth0", "00000000", "0003", "00000000") << QString();
        QTest::newRow("IPv6 default route beside an IPv4 subnet")
            << v4("eth0", "000200C0", "0001", "00FFFFFF") << v6("eth0", "00000003");
    }
    void usableRoutes() { QVERIFY(rowIsUsable()); }

    void unusableRoutes_data()
    {
        columns();
        QTest::newRow("only a subnet route") << v4("eth0", "000200C0", "0001", "00FFFFFF") << QString();
        QTest::newRow("IPv4 reject route") << v4("eth0", "00000000", "0201", "00000000") << QString();
        QTest::newRow("IPv6 reject route") << QString() << v6("eth0", "00000201");
        QTest::newRow("through a down interface") << v4("wlan0", "00000000", "0003", "00000000") << v6("wlan0", "00000003");
        QTest::newRow("route not up") << v4("eth0", "00000000", "0002", "00000000") << v6("eth0", "00000002");
        QTest::newRow("garbled lines") << QStringLiteral("eth0 zz\n\n\t\n") << QStringLiteral("not a route\n");
    }
    void unusableRoutes() { QVERIFY(!rowIsUsable()); }

    // The system's monitor in a network namespace of its own (CI runs as
    // root), so nothing leaves it and it vanishes with its thread: the first
    // report, then the report after `change`.
    void systemMonitor_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("first");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("after");
        const QString lo = QStringLiteral("link set lo up");
        QTest::newRow("loopback server, no default route") << "127.0.0.1" << lo << true << "link set lo down" << false;
        QTest::newRow("IPv6 loopback server, lo down") << "::1" << QString() << false << lo << true;
        QTest::newRow("localhost by name") << "localhost" << lo << true << "link set lo down" << false;
        QTest::newRow("prohibit route to the server")
            << "10.1.1.1" << gateway + "route add prohibit 10.1.1.1" << false << "route del prohibit 10.1.1.1" << true;
        QTest::newRow("unreachable route") << "10.1.1.1" << gateway + "route add unreachable 10.1.1.1" << false
                                           << QString() << false;
        QTest::newRow("blackhole route") << "10.1.1.1" << gateway + "route add blackhole 10.1.1.1" << false
                                         << QString() << false;
        QTest::newRow("throw route") << "10.1.1.1" << gateway + "route add throw 10.1.1.1" << false << QString()
                                     << false;
        QTest::newRow("LAN server without a gateway, carrier comes")
            << "10.9.0.7" << lan + "link set v1 down" << false << "link set v1 up" << true;
        QTest::newRow("no route at all") << "10.1.1.1" << lo << false << QString() << false;
        QTest::newRow("unresolvable name: the default route decides") << "quorvel.invalid" << gateway << true
                                                                        << "route del default" << false;
        QTest::newRow("no server: default route") << QString() << gateway << true << "route del default" << false;
        QTest::newRow("no server: loopback is no way out")
            << QString() << lo + ";route add default dev lo" << false << QString() << false;
    }
    void systemMonitor()
    {
        QFETCH(QString, server);
        QFETCH(QString, setup);
        QFETCH(bool, first);
        QFETCH(QString, change);
        QFETCH(bool, after);
        QString failed;
        std::optional<bool> firstReport;
        bool changeReported = change.isEmpty();
        std::thread([&] {
            if (::unshare(CLONE_NEWNET) != 0 || !ip(setup)) {
                failed = QStringLiteral("cannot set up a network namespace (needs root)");
                return;
            }
            Reports reports;
            auto monitor = createSystemPathMonitor(server.toStdString());
            monitor->start([&](bool usable) {
                const std::lock_guard lock(reports.mutex);
                reports.seen.push_back(usable);
                reports.added.notify_all();
            });
            firstReport = reports.at(0);
            if (!change.isEmpty() && ip(change)) {
                // A change can take a few reports to settle.
                std::optional<bool> report;
                for (std::size_t i = 1; (report = reports.at(i)) && *report != after; ++i) {
                }
                changeReported = report.has_value();
            }
        }).join();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QCOMPARE(firstReport, std::optional(first));
        QVERIFY(changeReported);
    }
};

QTEST_GUILESS_MAIN(TestPathMonitor)
#include "tst_pathmonitor.moc"
