#pragma once

#include "records/serialscheme.h"
#include "records/serialvalue.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

// A run's numbers: the [serial] section's pool and each [serial.NAME] pool, patched into a board's
// copy together, every field first and the one CRC last, so that the CRC covers them all.
class NumberPools
{
public:
    NumberPools() = default;
    NumberPools(const std::optional<SerialScheme> &serial, const QVector<SerialScheme> &named);

    // No two fields overlap, no field overlaps the CRC field, and at most one section has a CRC.
    bool check(QString *error) const;
    bool fits(qint64 imageSize, QString *error) const;
    QByteArray patched(const QByteArray &base, const QMap<QString, SerialValue> &values) const;

    bool isEmpty() const { return schemes.isEmpty(); }
    // [serial] first, then the named pools in the job's order.
    const QVector<SerialScheme> &all() const { return schemes; }
    const SerialScheme *find(const QString &name) const;

private:
    QVector<SerialScheme> schemes;
};
