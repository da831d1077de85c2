#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The station's scans as lines, "CODE" or "SLOT CODE", from a file, a FIFO or standard input,
// read on the main thread as they come, without ever blocking it.
class ScanReader : public QObject
{
    Q_OBJECT

public:
    struct Line {
        int slot = 0; // 0: the line names no slot
        QString code; // empty: nothing to scan (a blank line or a comment)
    };

    explicit ScanReader(QObject *parent = nullptr);
    ~ScanReader() override;

    // "-": standard input. False, and `error` says why, when it cannot be read.
    bool open(const QString &path, QString *error);
    static Line parse(const QByteArray &line);

signals:
    void scanned(const QString &code, int slot);
    void ended(); // the file or the pipe has no more

private:
    void readSome();

    int fd = -1;
    bool owned = false; // opened here, and closed here
    QSocketNotifier *notifier = nullptr;
    QByteArray partial; // a line not yet ended
};
