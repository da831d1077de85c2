#pragma once

#include <QDir>
#include <QString>

class QWidget;

// Saves what `window` shows as `name` in `dir`; says on stderr what could not be written.
bool saveWindowPicture(QWidget &window, const QDir &dir, const QString &name);
