#pragma once

#include <QString>

// A time as people read it on a station's display: "6.0 s", "4 min 12 s", "3 h 20 min".
QString durationText(double seconds);
