#pragma once

#include "records/serialvalue.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

// Where and how each board's serial number goes into its copy of the image, and the sequence the
// numbers come from: a start and a step, or a list of pre-assigned numbers. An optional CRC-32
// field is recomputed over a byte range after the number is written.
class SerialScheme
{
public:
    enum class Format { Little, Big, Decimal, Bcd };

    // The keys are those of a job's [serial] section: at, format, prefix, start, step, list,
    // crc32-at, crc32-range. A relative list file is read from `baseDir`.
    static std::optional<SerialScheme> fromFields(const QMap<QString, QString> &fields,
                                                  const QString &baseDir, QString *error);

    // Both fields lie inside an image of `imageSize` bytes, and so does the CRC's range.
    bool fits(qint64 imageSize, QString *error) const;
    QByteArray patched(const QByteArray &base, const SerialValue &value) const;

    // How many numbers the sequence holds before it runs out of values that fit.
    qint64 capacity() const;
    SerialValue valueAt(qint64 index) const;
    // The number as a person reads it: prefix and digits for the text formats, decimal else.
    QString text(const SerialValue &value) const;
    // The last number the sequence holds, as text: what a pool that has run out ended with.
    QString lastText() const;
    // The scheme in words, for a job's check: "dec:8 after the prefix "SN", from 100 in steps of
    // 1".
    QString describe() const;
    // What tells one sequence from another in the store: boards sharing it share its numbers.
    QString key() const;

    // The fields as the job gave them: with a board's number as the start and no list or step,
    // they make a scheme that patches that board's copy as this one did.
    const QMap<QString, QString> &fields() const { return given; }
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
    QByteArray encode(quint64 number) const;

    QMap<QString, QString> given;
    qint64 at = 0;
    Format format = Format::Little;
    QString formatText; // as written: le32, dec:8
    int bytes = 0;      // the field's width, prefix included
    QByteArray prefix;
    quint64 start = 0;
    quint64 step = 1;
    QVector<quint64> list; // empty: the counter
    QString listDigest;
    std::optional<qint64> crcAt;
    qint64 crcFrom = 0;
    qint64 crcTo = 0;
};
