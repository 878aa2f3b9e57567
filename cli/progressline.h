#pragma once
// The one updating status line the command line shows on a terminal:
// the phase, the live figure and the status text.
#include "speedtest.h"

#include <QString>

QString progressText(const SpeedTest &test);
