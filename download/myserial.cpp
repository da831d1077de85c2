#include "download/myserial.h"

mySerial::~mySerial() = default;
