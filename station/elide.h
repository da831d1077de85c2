#pragma once

#include <QString>
#include <QStringList>

// How long a start and an end all of a run's port names share. Names that differ in one hub
// position of a /dev/serial/by-path name share nearly everything but it, so that is kept.
struct SharedAffixes {
    int start = 0;
    int end = 0; // never overlapping the start in the shortest name

    static SharedAffixes of(const QStringList &names);
};

// `text` shortened in the middle to at most `width` characters (or to a stub of what it keeps on
// both sides when even that does not fit): what the names share goes first, so that the part
// telling the boards apart stays.
QString elide(const QString &text, int width, const SharedAffixes &shared);
