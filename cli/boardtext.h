#pragma once

#include "station/slotstate.h"
#include "station/stationstate.h"

#include <QString>

// The boards' states and the closing summary in words, from the station's state.
namespace BoardText
{

QString rate(double bytesPerSecond);
// A slot's state, with a bar of `barWidth` while it flashes an image of `bytes`; `resets`: the
// run resets each board before its attempts.
QString state(const SlotState &slot, bool resets, int barWidth, qint64 bytes);
// A plain run's line per port, or a station's per slot, and the totals.
QString summary(const StationState &state, bool station, qint64 bytes);

} // namespace BoardText
