#pragma once

#include <QMetaType>
#include <QString>

// How one board's download ended.
enum class Outcome {
    Done,          // the loader took the whole image and the finish frame
    OpenFailed,    // the port would not open
    DownloadError, // the loader rejected a frame
    Timeout,       // the loader stopped answering, or never answered
    Lost,          // the line hung up or the device vanished
    ResetFailed,   // the reset before an attempt failed
    Stopped,       // the run was interrupted
    NoSerial,      // the run's serial numbers ran out before the board could get one
};

// The name scripts read: done, open_failed, download_error, timeout, lost, reset_failed, stopped,
// no_serial.
QString outcomeName(Outcome outcome);

Q_DECLARE_METATYPE(Outcome)
