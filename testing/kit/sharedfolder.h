#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A folder another user may enter, for the tests that run a program as that user: the checkout,
// and the build with it, may lie in a folder only its owner enters (a home folder of mode 0700),
// where the other user reaches nothing. A temporary folder of mode 0755 of its own, removed with
// this object. The programs are linked statically against the project's libraries and need only
// the system's besides, so a copy of the program itself is all that user must reach.
class SharedFolder
{
public:
    SharedFolder();

    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.path(); }
    // A copy of `file`, runnable by anyone when the original is runnable, readable by anyone
    // otherwise; its path, or an empty string when it cannot be made.
    QString copy(const QString &file);
    // A file of anyone's to read; its path, or an empty string when it cannot be written.
    QString write(const QString &name, const QByteArray &content);

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};
