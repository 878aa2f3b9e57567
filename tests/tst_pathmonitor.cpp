// Whether a usable network path exists, read from the routing tables, and
// the monitor's thread reporting it.
#include "pathmonitor.h"
#include "routetable.h"

#include <QtTest>

#include <atomic>
#include <set>
#include <sstream>

namespace {
const char *ipv4Header =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
const std::string anyV6(32, '0');
} // namespace

class TestPathMonitor : public QObject {
    Q_OBJECT

private slots:
    void defaultRoutes_data()
    {
        QTest::addColumn<QString>("ipv4");
        QTest::addColumn<QString>("ipv6");
        QTest::addColumn<bool>("usable");

        const QString v4Default = QStringLiteral("eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
        const QString v4Subnet = QStringLiteral("eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n");
        const QString v6Default = QString::fromStdString(anyV6 + " 00 " + anyV6 + " 00 fd000000000000000000000000000001 00000400 00000002 00000000 00000003 eth0\n");
        const QString v6LoReject = QString::fromStdString(anyV6 + " 00 " + anyV6 + " 00 " + anyV6 + " ffffffff 00000001 00000000 00200200 lo\n");

        QTest::newRow("IPv4 default route") << v4Default + v4Subnet << QString() << true;
        QTest::newRow("only a subnet route") << v4Subnet << QString() << false;
        QTest::newRow("nothing") << QString() << QString() << false;
        QTest::newRow("IPv6 default route only") << v4Subnet << v6Default << true;
        QTest::newRow("IPv6 reject route on loopback") << QString() << v6LoReject << false;
        QTest::newRow("default route through a down interface")
            << QStringLiteral("wlan0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n") << QString() << false;
        QTest::newRow("default route not up")
            << QStringLiteral("eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n") << QString() << false;
        QTest::newRow("garbled lines") << QStringLiteral("eth0 zz\n\n\t\n") << QStringLiteral("not a route\n") << false;
    }
    void defaultRoutes()
    {
        QFETCH(QString, ipv4);
        QFETCH(QString, ipv6);
        QFETCH(bool, usable);
        std::istringstream v4(ipv4Header + ipv4.toStdString());
        std::istringstream v6(ipv6.toStdString());
        // eth0 is up; wlan0 is down; loopback never counts.
        const std::set<std::string> up = {"eth0"};
        QCOMPARE(hasUsableDefaultRoute(v4, v6, [&](const std::string &name) { return up.count(name) > 0; }), usable);
    }

    void loopbackIsNeverUsable()
    {
        QVERIFY(!interfaceIsUsable("lo"));
        QVERIFY(!interfaceIsUsable("no-such-if0"));
        QVERIFY(!interfaceIsUsable(""));
    }

    // The monitor reports soon after start, and its destructor returns
    // (joins its thread) while the handler is still live.
    void systemMonitorReportsAndStopsCleanly()
    {
        std::atomic<int> reports{0};
        auto monitor = createSystemPathMonitor();
        monitor->start([&](bool) { ++reports; });
        QVERIFY(QTest::qWaitFor([&] { return reports.load() > 0; }, 5000));
        monitor.reset();
    }
};

QTEST_GUILESS_MAIN(TestPathMonitor)
#include "tst_pathmonitor.moc"
