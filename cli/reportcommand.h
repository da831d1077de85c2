#pragma once

#include <QStringList>

// lumedra-cli report: the record store's boards per station, image and hour, or one serial
// number's history. `arguments` are those after "report"; returns the exit status.
int runReport(const QStringList &arguments);
