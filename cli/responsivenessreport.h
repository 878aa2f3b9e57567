#pragma once
// What quorvel-cli --responsiveness prints: a summary a person reads, one
// JSON object with every component, and the progress line's text. Pure
// functions of the measurement's state; numbers as Fmt writes them, never
// grouped or localised.
#include "responsiveness.h"

#include <QByteArray>
#include <QString>

namespace RpmReport {

// Per direction: "Download responsiveness: 1450 RPM (good, high confidence) ·
// 47.6 Mbps, 6 connections", then how the parts were measured, then one
// line of the parameters.
QString summary(const ResponsivenessTest &test);
// Indented JSON, ending in a newline.
QByteArray json(const ResponsivenessTest &test);
// "download  interval 7/20  6 connections  47.6 Mbps  goodput saturated".
QString progress(const ResponsivenessTest &test);

} // namespace RpmReport
