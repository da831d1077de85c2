#pragma once

#include <QtGlobal>

// One number of a serial scheme: its place in the scheme's sequence (what the store allocates)
// and the number itself (what goes into the image).
struct SerialValue {
    qint64 index = 0;
    quint64 number = 0;
};
