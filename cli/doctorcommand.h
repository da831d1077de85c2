#pragma once

#include <QStringList>

// `lumedra-cli doctor`: says for each port why it fails or misbehaves, and the fix. arguments:
// what follows the word doctor. Returns the exit status.
int runDoctor(const QStringList &arguments);
