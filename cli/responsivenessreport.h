#pragma once
// What quorvel-cli --responsiveness prints: a summary a person reads, one
// JSON object with every component, and the progress line's text. Pure
// functions of the measurement's state; numbers as Fmt writes them, RPM
// grouped by thousands ("1,450"), nothing localised.
#include "responsiveness.h"

#include <QByteArray>
#include <QString>

namespace RpmReport {

// "Responsiveness: 1,450 RPM (good, high confidence) · download 47.6 Mbps,
// 6 connections" (each direction measured: their mean, at the lower
// confidence), then per direction its figure and how its parts were
// measured, then one line of the parameters.
QString summary(const ResponsivenessTest &test);
// Indented JSON, ending in a newline: the overall figure, every component
// of each direction, the parameters and the URLs.
QByteArray json(const ResponsivenessTest &test);
// "download  interval 7/20  6 connections  47.6 Mbps  goodput saturated".
QString progress(const ResponsivenessTest &test);

} // namespace RpmReport
