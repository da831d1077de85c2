#pragma once

#include "testing/simloader/loaderfaults.h"
#include "testing/simloader/loaderframe.h"
#include "testing/simloader/loaderline.h"
#include "testing/simloader/loaderrecord.h"
#include "testing/simloader/loaderscript.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// A stand-in for the device's loader on a pseudo-terminal pair. The code under test opens
// portName() through QSerialPort. The loader runs on its own thread: its line takes the host's
// bytes, its script (see LoaderScript) answers them, and its record keeps every frame with its
// arrival time and the line's baud rate read from the terminal settings, and the image received.
// Closing the line resets the session: reply bytes the host left unread are discarded and the
// next header starts a new image (image() keeps the last one until then).
class SimLoader
{
public:
    using Step = LoaderFaults::Step;
    using Chaos = LoaderFaults::Chaos;
    using Faults = LoaderFaults;
    using Frame = LoaderFrame;

    // Called on the loader's thread each time an announced image is complete, with the image
    // and the checksum its header carried.
    using ImageHandler = std::function<void(const QByteArray &image, quint16 headerChecksum)>;

    SimLoader();
    explicit SimLoader(const Faults &faults);
    ~SimLoader();
    SimLoader(const SimLoader &) = delete;
    SimLoader &operator=(const SimLoader &) = delete;

    void setImageHandler(ImageHandler handler); // before start()
    // Opens the pty pair ahead without serving it: a loader kept ready this way costs nothing,
    // where one served with nobody on the line looks for its host every few milliseconds.
    bool open();
    bool start();             // opens the pty pair unless open() did, and serves it; false on failure
    QString portName() const; // the slave's path, e.g. /dev/pts/3
    // When the line was opened: a frame's atUs counts from here.
    std::chrono::steady_clock::time_point openedAt() const;
    void stop();                          // stops serving and closes the master
    void inject(const QByteArray &bytes); // writes bytes to the host as if the device sent them

    // Thread-safe snapshots of what happened so far.
    QVector<Frame> frames() const;
    int count(Frame::Kind kind) const;
    QByteArray image() const;    // the accepted part of the image announced by the last header
    QByteArray received() const; // every host byte in arrival order
    int hangups() const;         // times the host closed the line (each resets the session)
    bool vanished() const;
    qint64 flooded() const; // garbage bytes the host has taken from the flood so far
    void clearRecord();     // forgets frames and received bytes, keeps the session

private:
    void serve();
    void take(std::span<const char> bytes);

    const Faults m_faults;
    ImageHandler m_imageHandler;
    LoaderLine m_line;
    LoaderScript m_script; // the serving thread's
    LoaderRecord m_record;
    std::thread m_thread;
    std::atomic<bool> m_vanished{false};
};
