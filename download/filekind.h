#pragma once

#include <QString>

#include <sys/types.h>

// What a file is, from its stat(2) mode, as a sentence names it: "a directory", "a FIFO",
// "a character device". One wording for every message that says a file is not what it should be
// (an image that is no regular file, a port that is no serial port).
QString kindOf(mode_t mode);
