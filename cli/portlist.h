#pragma once

#include <QByteArray>

// The serial ports the system reports, a line each: tab-separated for a person or a script's
// `cut`, or one JSON object each.
namespace PortList
{
QByteArray lines(bool json);
}
