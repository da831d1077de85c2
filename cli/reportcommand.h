#pragma once

#include <QStringList>

// lumedra-cli report: the record store's boards per station, image and hour or per lot, one lot,
// one serial number's history, or the bytes of a kept image or of the board that had a number.
// `arguments` are those after "report"; returns the exit status.
int runReport(const QStringList &arguments);
