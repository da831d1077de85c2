#pragma once

#include "records/recordstore.h"

#include <QFrame>
#include <QStringList>
#include <QVector>

class QLabel;

// What the technician must hear of before the first board: the run's warnings at start, and
// serial numbers that runs which are gone had sent out to boards, voided as this run started.
// It stays until dismissed.
class NoticesBanner : public QFrame
{
    Q_OBJECT

public:
    explicit NoticesBanner(QWidget *parent = nullptr);

    // Shown when there is something to say; hidden otherwise.
    void showStart(const QStringList &warnings, const QVector<RecordStore::Voided> &voided);

private:
    QLabel *text;
};
