#pragma once

#include "download/dudozerdownload.h"

#include <QList>
#include <QString>

#include <memory>

// The rate of the first handshakes in the tests, unless a case needs another.
constexpr int UserBaud = 9600;

// One engine as its owner sees it: results and percents in arrival order.
struct EngineRun {
    QList<int> results;
    QList<int> percents;
    // Declared last, so it goes before the lists its signals fill.
    std::unique_ptr<dudoZerDownload> engine = std::make_unique<dudoZerDownload>();

    EngineRun();
    bool start(const QString &port, const QByteArray &image, int baud = UserBaud);
    // True once exactly one result has come within timeoutMs.
    bool waitForResult(int timeoutMs);
};

// True when nothing holds the port: QSerialPort locks the ports it opens.
bool portFree(const QString &name);
