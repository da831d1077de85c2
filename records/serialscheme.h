#pragma once

#include "records/numberformat.h"
#include "records/serialvalue.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

// Where and how each board's number of one pool goes into its copy of the image, and the sequence
// the numbers come from: a start and a step up to an optional end, or a list of pre-assigned
// numbers. An optional CRC-32 field is recomputed over a byte range after the numbers are written.
class SerialScheme
{
public:
    // The pool of a job's [serial] section; [serial.NAME] is the pool NAME.
    static constexpr const char *SerialPool = "serial";

    // The keys are those of a job's [serial] section: at, format, prefix, start, step, end, list,
    // crc32-at, crc32-range. A relative list file is read from `baseDir`.
    static std::optional<SerialScheme> fromFields(const QMap<QString, QString> &fields,
                                                  const QString &baseDir, QString *error,
                                                  const QString &name = SerialPool);

    // Both fields lie inside an image of `imageSize` bytes, and so does the CRC's range.
    bool fits(qint64 imageSize, QString *error) const;
    // The field written, then the CRC over the result.
    QByteArray patched(const QByteArray &base, const SerialValue &value) const;
    // The field alone, and the CRC alone: a board with several numbers gets every field first.
    QByteArray withField(const QByteArray &base, const SerialValue &value) const;
    QByteArray withCrc(const QByteArray &patched) const;

    // How many numbers the sequence holds before it runs out of values that fit.
    qint64 capacity() const;
    SerialValue valueAt(qint64 index) const;
    // The number as a person reads it: prefix and digits for the text formats, decimal else.
    QString text(const SerialValue &value) const;
    // The last number the sequence holds, as text: what a pool that has run out ended with.
    QString lastText() const;
    // What a slot says when the pool `name` has run out after `last`.
    static QString ranOutText(const QString &name, const QString &last);
    // The scheme in words, for a job's check: "dec:8 after the prefix "SN", from 100 in steps of
    // 1".
    QString describe() const;
    // What tells one sequence from another in the store: boards sharing it share its numbers.
    QString key() const;

    // The fields as the job gave them: with a board's number as the start and no list or step,
    // they make a scheme that patches that board's copy as this one did.
    const QMap<QString, QString> &fields() const { return given; }
    const QString &name() const { return poolName; }
    qint64 offset() const { return at; }
    int width() const { return bytes; }
    std::optional<qint64> crc32Offset() const { return crcAt; }
    qint64 crc32From() const { return crcFrom; }
    qint64 crc32To() const { return crcTo; }

private:
    SerialScheme() = default;
    bool parseFormat(const QString &text, QString *error);
    bool readList(const QString &path, QString *error);
    quint64 largest() const;
    bool readEnd(const QString &text, bool listed, QString *error);

    QString poolName;
    QMap<QString, QString> given;
    qint64 at = 0;
    std::optional<NumberFormat> format; // set by every scheme fromFields() makes
    int bytes = 0;                      // the field's width, prefix included
    QByteArray prefix;
    quint64 start = 0;
    quint64 step = 1;
    std::optional<quint64> last; // the pool's end, where it has one
    QVector<quint64> list; // empty: the counter
    QString listDigest;
    std::optional<qint64> crcAt;
    qint64 crcFrom = 0;
    qint64 crcTo = 0;
};
