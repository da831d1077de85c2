#pragma once

#include "download/image.h"

#include <QByteArray>
#include <QString>

// Images and files for the tests, the benchmarks and the developer programs.

// `size` bytes drawn from a generator seeded with `seed`: a seed gives the same image every time.
QByteArray randomImage(int size, quint32 seed);

// The header frame the engine sends for `image`.
QByteArray headerFor(const QByteArray &image);

// Writes `content` to `name` in `dir` and returns its path; a file that cannot be written is
// fatal, since nothing after it would mean anything.
QString writeFile(const QString &dir, const QString &name, const QByteArray &content);
