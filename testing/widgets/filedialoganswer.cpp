#include "testing/widgets/filedialoganswer.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QtDebug>

namespace
{

const int PollMs = 10;
// A dialog that has not shown up within this many polls (30 s) is not coming; giving up keeps a
// stale answer from landing on some later, unrelated dialog.
const int MaxPolls = 3000;

} // namespace

FileDialogAnswer::FileDialogAnswer(const QString &path, bool accepting)
    : path(path), accepting(accepting), pollsLeft(MaxPolls)
{
    // A native dialog has no widgets to type into.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QTimer::singleShot(0, this, &FileDialogAnswer::poll);
}

void FileDialogAnswer::answerNext(const QString &path)
{
    new FileDialogAnswer(path, true);
}

void FileDialogAnswer::cancelNext()
{
    new FileDialogAnswer(QString(), false);
}

void FileDialogAnswer::poll()
{
    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
    if (!dialog) {
        if (--pollsLeft > 0) {
            QTimer::singleShot(PollMs, this, &FileDialogAnswer::poll);
            return;
        }
        qWarning("FileDialogAnswer: no file dialog appeared");
        deleteLater();
        return;
    }
    deleteLater();
    if (!accepting) {
        dialog->reject();
        return;
    }
    // accept() reads the name field, and selectFile() leaves that field alone while it has focus.
    auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    if (!nameEdit) {
        qWarning("FileDialogAnswer: the file dialog has no name field; cancelling");
        dialog->reject();
        return;
    }
    nameEdit->setText(path);
    // The dialog's own accept(), the one its Open button runs, is protected in QFileDialog.
    static_cast<QDialog *>(dialog)->accept();
}
