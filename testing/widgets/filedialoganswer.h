#pragma once

#include <QObject>
#include <QString>

// Answers the next modal file dialog from inside its own event loop: the code under test opens
// the dialog synchronously, so the answer has to be armed before the click that opens it.
class FileDialogAnswer : public QObject
{
    Q_OBJECT

public:
    // Types `path` into the dialog's file name field and accepts it.
    static void answerNext(const QString &path);
    // Cancels the dialog.
    static void cancelNext();

private:
    FileDialogAnswer(const QString &path, bool accepting);
    void poll();

    QString path;
    bool accepting;
    int pollsLeft;
};
