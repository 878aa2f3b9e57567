#include "responsivenessreport.h"

#include "fmt.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

QString directionName(RpmDirection d)
{
    return d == RpmDirection::upload ? QStringLiteral("upload") : QStringLiteral("download");
}

QString bandName(RpmBand band)
{
    static const char *const names[] = {"poor", "fair", "good", "excellent"};
    return QString::fromLatin1(names[int(band)]);
}

QString confidenceName(RpmConfidence confidence)
{
    static const char *const names[] = {"low", "medium", "high"};
    return QString::fromLatin1(names[int(confidence)]);
}

QString selfKindName(SelfProbeKind kind)
{
    static const char *const names[] = {"none", "http2-stream", "sender-tcp-rtt", "receiver-tcp-rtt"};
    return QString::fromLatin1(names[int(kind)]);
}

// What the loaded figure timed, in words.
QString selfKindText(SelfProbeKind kind, RpmDirection direction)
{
    const QString standIn = QStringLiteral(", standing in for requests on it (HTTP/1.1)");
    switch (kind) {
    case SelfProbeKind::http2Stream:
        return QStringLiteral("requests on the load connections (HTTP/2)");
    case SelfProbeKind::senderTcpRtt:
        return (direction == RpmDirection::download ? QStringLiteral("the server's") : QStringLiteral("this computer's"))
            + QStringLiteral(" TCP round-trip estimate of a load connection") + standIn;
    case SelfProbeKind::receiverTcpRtt:
        return QStringLiteral("this computer's receive-side TCP round-trip estimate of a load connection (coarse)")
            + standIn;
    case SelfProbeKind::none:
        break;
    }
    return QStringLiteral("nothing");
}

QString rpmText(std::optional<double> rpm)
{
    return rpm ? QString::number(std::lround(*rpm)) + QStringLiteral(" RPM") : QStringLiteral("no figure");
}

QString seconds(double s)
{
    return QString::number(s, 'g', 6) + QStringLiteral(" s");
}

QString directionSummary(const RpmDirectionResult &r)
{
    QString name = directionName(r.direction);
    name[0] = name[0].toUpper();
    const RpmFigures &f = r.figures;
    QString head = QStringLiteral("%1 responsiveness: %2").arg(name, rpmText(f.rpm));
    head += f.rpm ? QStringLiteral(" (%1, %2 confidence)").arg(bandName(bandOf(*f.rpm)), confidenceName(r.confidence))
                  : QStringLiteral(" (%1 confidence)").arg(confidenceName(r.confidence));
    head += QStringLiteral(" \u00b7 %1 Mbps, %2 connections").arg(Fmt::speed(r.goodputMbps)).arg(r.connections);

    QStringList parts;
    if (f.tcp)
        parts << QStringLiteral("TCP handshake %1 ms").arg(Fmt::ms(*f.tcp));
    if (f.tls)
        parts << QStringLiteral("TLS round trip %1 ms").arg(Fmt::ms(*f.tls));
    if (f.http)
        parts << QStringLiteral("HTTP request %1 ms").arg(Fmt::ms(*f.http));
    const QString foreign = QStringLiteral("  new connections: %1 (%2; %3 probes)")
                                .arg(rpmText(f.foreign), parts.join(QStringLiteral(", ")))
                                .arg(r.foreignProbes);
    const QString loaded = QStringLiteral("  loaded: %1 (%2 ms, %3; %4 samples)")
                               .arg(rpmText(f.loaded), f.self ? Fmt::ms(*f.self) : QStringLiteral("\u2013"),
                                    selfKindText(r.selfKind, r.direction))
                               .arg(r.selfProbes);
    return head + QLatin1Char('\n') + foreign + QLatin1Char('\n') + loaded;
}

void put(QJsonObject &o, const char *key, std::optional<double> value)
{
    if (value)
        o.insert(QLatin1String(key), *value);
}

} // namespace

namespace RpmReport {

QString summary(const ResponsivenessTest &test)
{
    QStringList lines;
    for (const RpmDirectionResult &r : test.results())
        lines << directionSummary(r);
    const RpmParameters &p = test.options().parameters;
    lines << QStringLiteral("Interval %1, moving averages of %2 intervals, %3 % tolerance, up to %4 connections, "
                            "at most %5 probe pairs a second, time limit %6 a direction; %7.")
                 .arg(seconds(p.intervalSecs))
                 .arg(p.movingAverageIntervals)
                 .arg(p.tolerance * 100)
                 .arg(p.maxConnections)
                 .arg(p.maxProbesPerSecond)
                 .arg(seconds(p.timeLimit()))
                 .arg(test.urls().discovered ? QStringLiteral("URLs from /.well-known/nq")
                                             : QStringLiteral("no /.well-known/nq, so /__down and /__up"));
    return lines.join(QLatin1Char('\n'));
}

QByteArray json(const ResponsivenessTest &test)
{
    QJsonArray directions;
    for (const RpmDirectionResult &r : test.results()) {
        const RpmFigures &f = r.figures;
        QJsonObject o{{QStringLiteral("direction"), directionName(r.direction)},
                      {QStringLiteral("confidence"), confidenceName(r.confidence)},
                      {QStringLiteral("goodputMbps"), r.goodputMbps},
                      {QStringLiteral("connections"), r.connections},
                      {QStringLiteral("intervals"), r.intervals},
                      {QStringLiteral("stable"), r.stable},
                      {QStringLiteral("seconds"), r.seconds},
                      {QStringLiteral("foreignProbes"), r.foreignProbes},
                      {QStringLiteral("selfProbes"), r.selfProbes},
                      {QStringLiteral("selfProbe"), selfKindName(r.selfKind)}};
        if (r.saturatedAt >= 0)
            o.insert(QStringLiteral("saturatedAtInterval"), r.saturatedAt);
        put(o, "rpm", f.rpm);
        if (f.rpm)
            o.insert(QStringLiteral("band"), bandName(bandOf(*f.rpm)));
        put(o, "foreignRpm", f.foreign);
        put(o, "loadedRpm", f.loaded);
        put(o, "tcpMs", f.tcp);
        put(o, "tlsMs", f.tls);
        put(o, "httpMs", f.http);
        put(o, "selfMs", f.self);
        directions.append(o);
    }
    const RpmParameters &p = test.options().parameters;
    const RpmUrls &urls = test.urls();
    const QJsonObject root{
        {QStringLiteral("responsiveness"), directions},
        {QStringLiteral("parameters"),
         QJsonObject{{QStringLiteral("intervalSeconds"), p.intervalSecs},
                     {QStringLiteral("movingAverageIntervals"), p.movingAverageIntervals},
                     {QStringLiteral("trimmedTop"), p.trimmedTop},
                     {QStringLiteral("tolerance"), p.tolerance},
                     {QStringLiteral("maxConnections"), p.maxConnections},
                     {QStringLiteral("maxProbesPerSecond"), p.maxProbesPerSecond},
                     {QStringLiteral("probeShare"), p.probeShare},
                     {QStringLiteral("timeLimitSeconds"), p.timeLimit()}}},
        {QStringLiteral("urls"),
         QJsonObject{{QStringLiteral("fromWellKnown"), urls.discovered},
                     {QStringLiteral("large"), urls.large},
                     {QStringLiteral("small"), urls.small},
                     {QStringLiteral("upload"), urls.upload}}}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QString progress(const ResponsivenessTest &test)
{
    const RpmProgress &p = test.progress();
    QString line = QStringLiteral("%1  interval %2/%3  %4 connections  %5 Mbps")
                       .arg(directionName(p.direction))
                       .arg(p.interval)
                       .arg(test.options().parameters.intervalLimit())
                       .arg(p.connections)
                       .arg(Fmt::speed(p.goodputMbps));
    if (p.rpm)
        line += QStringLiteral("  ") + rpmText(p.rpm);
    if (p.saturated)
        line += QStringLiteral("  goodput saturated");
    return line;
}

} // namespace RpmReport
