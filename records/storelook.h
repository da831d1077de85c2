#pragma once

#include "records/serialscheme.h"
#include "records/storeurl.h"

#include <QString>
#include <QVector>

#include <optional>

// A look at a store before a run, for a job's check: it reads and creates nothing. A store that
// is not there yet is no failure (the first run creates it); one that cannot be reached or read is.
struct StoreLook {
    bool created = false; // false: no store there yet
    int schemaVersion = 0;
    // The scheme's numbers so far.
    qint64 reserved = 0, used = 0, returned = 0, voided = 0;
    // The number the next board would get; empty without a scheme or when none is left.
    QString next;
    qint64 nextIndex = 0; // its place in the scheme's sequence
    bool exhausted = false;
    // Each [serial.NAME] pool's next number, in the job's order: empty when none is left.
    struct Pool {
        QString name;
        QString next;
        qint64 nextIndex = 0;
        bool exhausted = false;
    };
    QVector<Pool> named;

    static std::optional<StoreLook> of(const StoreUrl &url,
                                       const std::optional<SerialScheme> &scheme, QString *error,
                                       const QVector<SerialScheme> &pools = {});
};
