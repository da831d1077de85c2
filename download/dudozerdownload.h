#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <functional>

#include "download/lowlatency.h"

class mySerial;

// The engine's trace of its steps ("idle", "change bd", "send data", "download ERR!", "exit").
// On by default, as in the window; a program that draws on its terminal turns it off.
Q_DECLARE_LOGGING_CATEGORY(engineLog)

// Carries out one download: wakes the loader, switches the line to the fast rate, sends the
// header, the image block by block and the finish frame, and reports percent and one result.
// Its names, its signals' signatures and its string-based connects stay as they are: the window
// and the programs built on it connect to them by name.
class dudoZerDownload : public QObject
{
    Q_OBJECT

public:
    enum E_REBACK { E_DONE = 0, E_OPEN_FAIL = 2, E_DOWNLOAD_ERR = 3, E_TIMEOUT = 4 };

    enum State {
        ST_IDLE = 0,
        ST_WAIT_READY_FAST = 2,
        ST_WAIT_READY = 3,
        ST_RECEIVE = 4,
        ST_WAIT_READY_RESEND = 5,
        ST_SEND_HEADER = 6,
        ST_WAIT_HEADER_ACCEPT = 7,
        ST_SEND_BLOCK = 8,
        ST_WAIT_BLOCK_ACCEPT = 9,
        ST_WAIT_FINAL = 10,
    };

    // The conversation's timing. Tests shorten it through setTiming(); the program never does.
    struct Timing {
        int tickMs = 200;      // handshake re-send period before the first ready reply
        int windowMs = 10000;  // reply window once the device has answered
        int baudPauseMs = 200; // settle time after switching to the fast rate
    };
    static void setTiming(const Timing &timing);
    static Timing timing();

    dudoZerDownload();
    ~dudoZerDownload() override;

    bool startDownload(qint32 imageSize, quint32 headerValue, quint16 checksum,
                       const QByteArray &image, const QString &portName, int baudRate);

    // Runs once, just before the first header frame goes out: the last moment at which no byte of
    // the image can have reached the device, for a caller that must first note what it is about
    // to send. The window sets none.
    void setBeforeHeader(const std::function<void()> &hook);

    // Why the port would not open, for a caller that explains E_OPEN_FAIL.
    QSerialPort::SerialPortError portError() const;
    QString portErrorString() const;

    // What the device has said so far, for a caller that explains a result in words. Reading it
    // changes nothing in the conversation.
    struct Diagnostics {
        qint64 bytesReceived = 0; // read from the line, in groups of three
        qint64 bytesWaiting = 0;  // arrived but not read yet
        QByteArray waitingStart;  // the first of them
        bool answered = false;    // a ready reply to a handshake came
        qint64 answeredAtMs = 0;  // when: steady clock, milliseconds
        int headerRefusals = 0;   // replies other than accept to the header frame
        int blocksAccepted = 0;
        int blocks = 0;        // in the whole image
        QByteArray mismatched; // the first bytes of groups other than the awaited reply
        qint64 mismatchedBytes = 0;
        QByteArray lastReply;    // the last group read
        bool finishSent = false; // every block was accepted and the finish frame went out
        bool hungUp = false;     // the line hung up or the device vanished
    };
    Diagnostics diagnostics() const;

signals:
    void backInfo(dudoZerDownload::E_REBACK reback_code);
    void sendPercent(int percent);

public slots:
    void haveDataIn();
    void tmrOutHandle();

private:
    void sendHandshake(int next);
    void armReceive(int count, int next);
    void sendHeader();
    void sendFinish();
    void writeFrame(const QByteArray &bytes);
    void continueIn(int next);
    void noteReply();
    qint32 remainingBytes() const;
    bool lineHungUp() const;
    void closePort();

    qint32 imageLength = 0;
    quint32 headerValue = 0;
    quint16 checksum = 0;
    QByteArray imageBuffer;
    mySerial *serial = nullptr;
    qint32 state = ST_IDLE;
    qint32 nextState = ST_IDLE;
    QByteArray rxBuffer;
    qint32 expectCount = 0;
    bool busy = false;
    qint32 retryCount = 0;
    QTimer timer;
    // Set by the download's first ready reply. Later ready replies only follow a tick, and
    // must not renew the retry budget: a device that answers handshakes but never takes the
    // header, or never takes one block, would otherwise keep the download going forever.
    bool answered = false;
    LowLatency lowLatency;
    // Bytes of imageBuffer already accepted by the device. Advancing an offset instead of cutting
    // the array's front keeps each block O(block) and leaves the caller's bytes shared.
    qint32 acceptedBytes = 0;
    Diagnostics seen;
    std::function<void()> beforeHeader;
};
