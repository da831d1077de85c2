#pragma once

#include "doctor/sysroot.h"

#include <QString>

// The path a port as given names, wherever one is given: -p on the command line, a job's slot,
// the doctor's -p, the window's job. A path from the root is taken as it is, and one starting
// with ./ or ../ from `folder`. Any other name is looked for in /dev first, as the port list names
// ports (pts/0 is /dev/pts/0, ttyUSB0 is /dev/ttyUSB0), then in `folder`. A name in neither place,
// such as a station's pattern or a board not plugged in yet, goes where its folder is (the part
// before the name, or before a pattern's first wildcard), /dev first again; a bare name such as
// ttyUSB9 or ttyUSB* is /dev's.
//
// folder: where relative names live, the current folder unless given (a job's own folder in a
// job); root: where /dev is looked at, the real one unless the doctor reads a fake tree.
QString portPath(const QString &given, const QString &folder = QString(),
                 const SysRoot &root = SysRoot());
