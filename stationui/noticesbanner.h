#pragma once

#include "records/recordstore.h"

#include <QFrame>
#include <QVector>

class QLabel;

// What the technician must hear of before the first board: serial numbers that runs which are
// gone had sent out to boards, voided as this run started. It stays until dismissed.
class NoticesBanner : public QFrame
{
    Q_OBJECT

public:
    explicit NoticesBanner(QWidget *parent = nullptr);

    // Shown when there is something to say; hidden otherwise.
    void showVoided(const QVector<RecordStore::Voided> &voided);

private:
    QLabel *text;
};
