#include "responsivenessreport.h"

#include "fmt.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <utility>

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

// Thousands grouped with a comma, whatever the locale: "1,450 RPM".
QString rpmText(std::optional<double> rpm)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return rpm ? english.toString(qlonglong(std::llround(*rpm))) + QStringLiteral(" RPM") : QStringLiteral("no figure");
}

// "1,450 RPM (good, high confidence)"
QString graded(std::optional<double> rpm, RpmConfidence confidence)
{
    return rpm ? QStringLiteral("%1 (%2, %3 confidence)").arg(rpmText(rpm), bandName(bandOf(*rpm)), confidenceName(confidence))
               : QStringLiteral("%1 (%2 confidence)").arg(rpmText(rpm), confidenceName(confidence));
}

// Of every direction measured: the mean of their figures (none if one has
// none) at the lowest of their confidences.
std::pair<std::optional<double>, RpmConfidence> overall(const std::vector<RpmDirectionResult> &results)
{
    std::optional<double> sum = 0.0;
    RpmConfidence confidence = RpmConfidence::high;
    for (const RpmDirectionResult &r : results) {
        sum = sum && r.figures.rpm ? std::optional(*sum + *r.figures.rpm) : std::nullopt;
        confidence = std::min(confidence, r.confidence);
    }
    if (results.empty() || !sum)
        return {std::nullopt, RpmConfidence::low};
    return {*sum / double(results.size()), confidence};
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
    const QString head = name + QStringLiteral(": ") + graded(f.rpm, r.confidence);

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
    const auto [rpm, confidence] = overall(test.results());
    QString head = QStringLiteral("Responsiveness: ") + graded(rpm, confidence);
    for (const RpmDirectionResult &r : test.results())
        head += QStringLiteral(" \u00b7 %1 %2 Mbps, %3 connections")
                    .arg(directionName(r.direction), Fmt::speed(r.goodputMbps))
                    .arg(r.connections);
    QStringList lines{head};
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
                      {QStringLiteral("failedProbes"), r.failedProbes},
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
    const auto [rpm, confidence] = overall(test.results());
    QJsonObject root{
        {QStringLiteral("confidence"), confidenceName(confidence)},
        {QStringLiteral("directions"), directions},
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
    put(root, "rpm", rpm);
    if (rpm)
        root.insert(QStringLiteral("band"), bandName(bandOf(*rpm)));
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
