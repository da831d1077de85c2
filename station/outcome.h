#pragma once

#include <QMetaType>
#include <QString>

// How one board's download ended.
enum class Outcome {
    Done,          // the loader took the whole image and the finish frame
    OpenFailed,    // the port would not open
    DownloadError, // the loader rejected a frame
    Timeout,       // the loader stopped answering, or never answered
    Stopped,       // the run was interrupted
};

// The name scripts read: done, open_failed, download_error, timeout, stopped.
QString outcomeName(Outcome outcome);

Q_DECLARE_METATYPE(Outcome)
