#include "testing/widgets/windowpicture.h"

#include <QPixmap>
#include <QWidget>

#include <cstdio>

bool saveWindowPicture(QWidget &window, const QDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    if (window.grab().save(path))
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}
