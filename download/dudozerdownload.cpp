#include "download/dudozerdownload.h"

#include "download/myserial.h"
#include "download/protocol.h"
#include "download/units.h"

#include <QThread>

#include <utility>

#include <poll.h>

Q_LOGGING_CATEGORY(engineLog, "lumedra.engine")

namespace
{
dudoZerDownload::Timing currentTiming;
// Ticks after the last reset that re-send the handshake; the next one gives up.
constexpr qint32 HandshakeResends = 6;
// Replies are three bytes, one per frame sent, so a full buffer can only be a device flooding
// the line. Without the cap the port's buffer grows without end; with it, and with the engine
// leaving a full buffer unread, the port stops reading, the driver's buffer fills and holds the
// sender back, and the timer ends the download as for any device that stopped answering.
constexpr qint64 ReadBufferBytes = 64 * 1024;
// How many mismatched bytes a diagnosis keeps: enough to recognise them.
constexpr int MismatchedKept = 8;
} // namespace

void dudoZerDownload::setTiming(const Timing &timing)
{
    currentTiming = timing;
}

dudoZerDownload::Timing dudoZerDownload::timing()
{
    return currentTiming;
}

dudoZerDownload::dudoZerDownload()
{
    serial = new mySerial;
    connect(serial, SIGNAL(readyRead()), this, SLOT(haveDataIn()), Qt::QueuedConnection);
    connect(&timer, SIGNAL(timeout()), this, SLOT(tmrOutHandle()), Qt::AutoConnection);
    // When the far end of the line is gone (a vanished pseudo-terminal peer reads as end of
    // file), the port's read notifier fires without pause. Closing the port keeps the process
    // idle; the timer's rule then ends the download as for any device that stopped answering.
    // The close waits for the event loop: the error is reported from inside the notifier.
    connect(serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if ((error == QSerialPort::ReadError || error == QSerialPort::ResourceError) &&
            lineHungUp()) {
            seen.hungUp = true;
            QTimer::singleShot(0, serial, [this] { closePort(); });
        }
    });
}

dudoZerDownload::~dudoZerDownload()
{
    qCDebug(engineLog) << "exit";
    closePort();
    delete serial;
}

bool dudoZerDownload::startDownload(qint32 imageSize, quint32 headerValue, quint16 checksum,
                                    const QByteArray &image, const QString &portName, int baudRate)
{
    Q_UNUSED(imageSize) // the image's own length is what the header announces
    imageLength = image.size();
    this->headerValue = headerValue;
    this->checksum = checksum;
    imageBuffer = image;
    acceptedBytes = 0;
    seen = Diagnostics();
    seen.blocks =
        int((qint64(imageLength) + Protocol::MaxBlockLength - 1) / Protocol::MaxBlockLength);

    serial->setPortName(portName);
    serial->setReadBufferSize(ReadBufferBytes);
    serial->setBaudRate(baudRate, QSerialPort::AllDirections);
    if (!serial->open(QIODevice::ReadWrite)) {
        emit backInfo(E_OPEN_FAIL);
        return false;
    }
    // Nothing that arrived before the first handshake can answer it: power-up noise or the
    // tail of an earlier, stopped download. Replies are grouped by count, so one such byte
    // would shift every later group.
    serial->clear(QSerialPort::Input);
    lowLatency.enable(int(serial->handle()));

    timer.setInterval(currentTiming.tickMs);
    timer.start();
    retryCount = 0;
    answered = false;
    busy = true;
    sendHandshake(ST_WAIT_READY);
    return true;
}

void dudoZerDownload::sendHandshake(int next)
{
    writeFrame(Protocol::handshakeFrame());
    armReceive(Protocol::ReplyLength, next);
}

void dudoZerDownload::armReceive(int count, int next)
{
    rxBuffer.clear();
    expectCount = count;
    nextState = next;
    state = ST_RECEIVE;
}

void dudoZerDownload::setBeforeHeader(const std::function<void()> &hook)
{
    beforeHeader = hook;
}

void dudoZerDownload::sendHeader()
{
    if (beforeHeader)
        std::exchange(beforeHeader, {})();
    writeFrame(Protocol::headerFrame(headerValue, imageLength, checksum));
}

void dudoZerDownload::sendFinish()
{
    writeFrame(Protocol::finishFrame());
}

void dudoZerDownload::writeFrame(const QByteArray &bytes)
{
    if (!serial->isOpen())
        return; // the line is gone; only the timer can end the download now
    serial->write(bytes);
    // QSerialPort only queues the bytes until a later turn of the event loop; hand them to the
    // driver now, since the device's reply is the next thing we wait for. The second flush
    // closes the write at once, sparing an event-loop wake-up whose only news is that the
    // bytes left.
    serial->flush();
    serial->flush();
}

void dudoZerDownload::tmrOutHandle()
{
    const qint32 r = retryCount++;
    if (r < HandshakeResends)
        sendHandshake(ST_WAIT_READY);
    else
        emit backInfo(E_TIMEOUT);
}

void dudoZerDownload::haveDataIn()
{
    if (!busy)
        return;
    // Reading three bytes from a full buffer would make the port read three more at once, and a
    // flood would keep this thread busy until the time-out.
    if (serial->bytesAvailable() >= ReadBufferBytes)
        return;

    for (;;) {
        switch (state) {
        case ST_RECEIVE:
            if (serial->bytesAvailable() < expectCount)
                return;
            state = nextState;
            rxBuffer = serial->read(expectCount);
            noteReply();
            break;

        case ST_WAIT_READY:
            if (rxBuffer != Protocol::readyReply()) {
                armReceive(Protocol::ReplyLength, ST_WAIT_READY);
                return;
            }
            if (!answered) {
                answered = true;
                seen.answered = true;
                seen.answeredAtMs = steadyMs();
                retryCount = 0;
            }
            serial->setBaudRate(Protocol::FastBaudRate, QSerialPort::AllDirections);
            // The loader needs time to follow the rate change before it can read again.
            QThread::msleep(ulong(currentTiming.baudPauseMs));
            sendHandshake(ST_WAIT_READY_FAST);
            qCDebug(engineLog) << "change bd" << '\n';
            timer.start(currentTiming.windowMs);
            return;

        case ST_WAIT_READY_FAST:
            if (rxBuffer != Protocol::readyReply()) {
                armReceive(Protocol::ReplyLength, ST_WAIT_READY_FAST);
                return;
            }
            timer.start(currentTiming.windowMs);
            continueIn(ST_SEND_HEADER);
            break;

        case ST_SEND_HEADER:
            qCDebug(engineLog) << "send data";
            sendHeader();
            armReceive(Protocol::ReplyLength, ST_WAIT_HEADER_ACCEPT);
            return;

        case ST_WAIT_HEADER_ACCEPT:
            if (rxBuffer != Protocol::acceptReply()) {
                ++seen.headerRefusals;
                armReceive(Protocol::ReplyLength, ST_WAIT_READY_RESEND);
                return;
            }
            timer.start(currentTiming.windowMs);
            continueIn(ST_SEND_BLOCK);
            break;

        case ST_WAIT_READY_RESEND:
            if (rxBuffer != Protocol::readyReply()) {
                armReceive(Protocol::ReplyLength, ST_WAIT_READY_RESEND);
                return;
            }
            continueIn(ST_SEND_HEADER);
            break;

        case ST_SEND_BLOCK: {
            if (imageLength == 0) {
                // An empty image has no block: the finish frame follows the header at once,
                // and no percentage (which would divide by the length) is ever formed.
                seen.finishSent = true;
                sendFinish();
                armReceive(Protocol::ReplyLength, ST_WAIT_FINAL);
                return;
            }
            writeFrame(QByteArray::fromRawData(imageBuffer.constData() + acceptedBytes,
                                               Protocol::blockLength(remainingBytes())));
            armReceive(Protocol::ReplyLength, ST_WAIT_BLOCK_ACCEPT);
            return;
        }

        case ST_WAIT_BLOCK_ACCEPT:
            if (rxBuffer != Protocol::acceptReply()) {
                qCDebug(engineLog) << "download ERR!" << remainingBytes();
                busy = false;
                emit backInfo(E_DOWNLOAD_ERR);
                return;
            }
            // 64-bit product: remaining * 100 overflows 32 bits above 21,474,836 bytes.
            emit sendPercent(
                int(FullPercent - qint64(remainingBytes()) * FullPercent / imageLength));
            // Every accepted block restarts the reply window and renews the retry budget: a
            // shared window would cut off any healthy transfer whose data phase outlasts it,
            // and a device that stalls now and then but makes progress must still finish.
            timer.start(currentTiming.windowMs);
            retryCount = 0;
            ++seen.blocksAccepted;
            if (remainingBytes() > Protocol::MaxBlockLength) {
                acceptedBytes += Protocol::MaxBlockLength;
                continueIn(ST_SEND_BLOCK);
                break;
            }
            imageBuffer.clear();
            acceptedBytes = 0;
            seen.finishSent = true;
            sendFinish();
            armReceive(Protocol::ReplyLength, ST_WAIT_FINAL);
            return;

        case ST_WAIT_FINAL:
            busy = false;
            emit backInfo(rxBuffer == Protocol::readyReply() ? E_DONE : E_DOWNLOAD_ERR);
            return;

        default:
            qCDebug(engineLog) << "idle";
            return;
        }
    }
}

void dudoZerDownload::continueIn(int next)
{
    rxBuffer.clear();
    state = next;
}

bool dudoZerDownload::lineHungUp() const
{
    pollfd fd{int(serial->handle()), POLLIN, 0};
    return serial->isOpen() && ::poll(&fd, 1, 0) == 1 && (fd.revents & POLLHUP);
}

void dudoZerDownload::closePort()
{
    lowLatency.restore();
    serial->close();
}

qint32 dudoZerDownload::remainingBytes() const
{
    return imageBuffer.size() - acceptedBytes;
}

void dudoZerDownload::noteReply()
{
    seen.bytesReceived += rxBuffer.size();
    seen.lastReply = rxBuffer;
    const bool acceptAwaited = state == ST_WAIT_HEADER_ACCEPT || state == ST_WAIT_BLOCK_ACCEPT;
    if (rxBuffer == (acceptAwaited ? Protocol::acceptReply() : Protocol::readyReply()))
        return;
    seen.mismatchedBytes += rxBuffer.size();
    if (seen.mismatched.size() < MismatchedKept)
        seen.mismatched += rxBuffer.left(MismatchedKept - seen.mismatched.size());
}

dudoZerDownload::Diagnostics dudoZerDownload::diagnostics() const
{
    Diagnostics now = seen;
    if (serial->isOpen()) {
        now.bytesWaiting = serial->bytesAvailable();
        now.waitingStart = serial->peek(MismatchedKept);
    }
    return now;
}

QSerialPort::SerialPortError dudoZerDownload::portError() const
{
    return serial->error();
}

QString dudoZerDownload::portErrorString() const
{
    return serial->errorString();
}
