#pragma once

#include "download/image.h"
#include "records/serialscheme.h"

#include <QString>
#include <QVector>

#include <optional>

// What a run's image is, row by row, for whoever shows a job before it runs (the command line's
// check, the window's Job tab): its file, format, regions, base, fill, size, checksum, SHA-256
// and pin, and where each board's serial number and CRC go, as addresses too where the file
// gave addresses.
namespace ImageSummary
{
struct Row {
    QString name;
    QString value;
};

QVector<Row> rows(const Image &image, const std::optional<SerialScheme> &serial);
} // namespace ImageSummary
