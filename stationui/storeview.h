#pragma once

#include "records/recorder.h"
#include "records/storeurl.h"

#include <QFrame>

class QLabel;

// The record store as the technician needs to know it: where it is (never a password), whether it
// answers or since when it is lost, what waits in the spool, and the number the next board gets.
// A lost store turns the widget to a warning colour; nothing else stops.
class StoreView : public QFrame
{
    Q_OBJECT

public:
    explicit StoreView(QWidget *parent = nullptr);

    // Before a run: what a look at the store found, in words that name it.
    void showLook(const QString &words, bool lost);
    // During a run, from the recorder's status; `numbered`: the run numbers its boards.
    void show(const StoreUrl &url, const Recorder::Status &status, bool numbered);
    // "store sqlite:/srv/line/boards.sqlite: reachable, 0 in the spool, next LMD-000124"
    static QString words(const StoreUrl &url, const Recorder::Status &status, bool numbered);

private:
    void paint(bool lost, const QString &text);

    QLabel *text;
};
