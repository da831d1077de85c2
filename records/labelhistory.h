#pragma once

#include "records/storeurl.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>

class StoreConnections;

// One physical board's history by its printed label: each time it was on a station, oldest
// first, read without changing the store (a read-only open, as the report's).
class LabelHistory
{
public:
    struct Board {
        QDateTime time; // its result's, UTC
        QString station;
        qint64 run = 0;
        int slot = 0, board = 0, attempts = 0;
        QString result, reason;
        QString serial; // its number as text; empty: none
        bool reflash = false;
    };

    explicit LabelHistory(const StoreUrl &url);
    ~LabelHistory();
    LabelHistory(const LabelHistory &) = delete;
    LabelHistory &operator=(const LabelHistory &) = delete;

    // Empty when the store has never seen the label.
    std::optional<QVector<Board>> of(const QString &label, QString *error);
    void closeThread();

private:
    std::unique_ptr<StoreConnections> connections;
};
