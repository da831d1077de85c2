#pragma once

#include "station/job.h"

#include <QString>

#include <optional>

// Reads a job file: an INI file whose keys are named after the command line's long options.
//
//     [job]          version, image, station-id, reset or reset-cmd, attempts, gone-after,
//                    log, locked, baud, db, image-format, image-base, fill, image-size,
//                    image-sha256, scan, scan-pattern, reflash, operator, lot
//     [slot.N]       port, label, code; numbered 1, 2, 3 ... without a gap
//     [serial]       at, format, prefix, start, step, list, crc32-at, crc32-range (unparsed)
//
// Read by hand rather than through QSettings, which splits values at commas (a reset sequence,
// a label) and gives a backslash and a leading '@' meanings of their own. A value is the rest of
// the line, trimmed; a pair of double quotes around it keeps its spaces. A line starting with
// '#' or ';' is a comment.
class JobFile
{
public:
    // `error` names the file, the line and the key, and what is wrong.
    static std::optional<Job> load(const QString &path, QString *error);
};
