#pragma once

#include "download/image.h"
#include "download/imagespec.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <map>
#include <optional>

// The bytes a HEX, S-record or ELF file places, by address, merged into runs of adjacent bytes.
// Each piece remembers where in the file it came from (a line, or an ELF segment), so that every
// error names the file, that place and the address.
class MemoryMap
{
public:
    enum class Unit { Line, Segment };

    MemoryMap(const QString &file, Unit unit);

    // Places `size` bytes at `address`; `where` is the line or segment they came from. Bytes that
    // another piece already gave the same address must be the same.
    bool add(quint64 address, const char *data, qint64 size, qint64 where, QString *error);
    bool isEmpty() const { return runs.empty(); }

    // The contiguous image from the spec's base (or the lowest address) to the highest address
    // or to the spec's size, the gaps filled; `base` tells where it starts. Its size is checked
    // before anything is allocated.
    std::optional<QByteArray> image(const ImageSpec &spec, quint64 *base, QString *error) const;
    QVector<Image::Region> regions() const;

    // Where an error is, for a reader's message: "fw.hex:12", "fw.elf: segment 2".
    QString at(qint64 where) const;
    const QString &fileName() const { return file; }
    static QString address(quint64 value);

private:
    struct Run {
        QByteArray bytes;
        qint64 first = 0; // where the lowest byte came from
        qint64 last = 0;  // and the highest
    };
    using Runs = std::map<quint64, Run>;

    QString file;
    Unit unit;
    Runs runs;
    // Files mostly run upwards: the next piece usually extends the one the last went into.
    Runs::iterator recent;
};
