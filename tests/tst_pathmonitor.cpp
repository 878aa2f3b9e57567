// Whether a usable network path exists, read from the routing tables, and
// the monitor's thread reporting it.
#include "pathmonitor.h"
#include "routetable.h"

#include <QtTest>

#include <atomic>
#include <sstream>

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

    // The monitor reports soon after start, and its destructor returns
    // (joins its thread) while the handler is still live. Loopback never
    // carries a path.
    void systemMonitorReportsAndStopsCleanly()
    {
        QVERIFY(!interfaceIsUsable("lo") && !interfaceIsUsable("no-such-if0") && !interfaceIsUsable(""));
        std::atomic<int> reports{0};
        auto monitor = createSystemPathMonitor();
        monitor->start([&](bool) { ++reports; });
        QTRY_VERIFY_WITH_TIMEOUT(reports.load() > 0, 5000);
        monitor.reset();
    }
};

QTEST_GUILESS_MAIN(TestPathMonitor)
#include "tst_pathmonitor.moc"
