#include "station/boardoutcome.h"

BoardRecord BoardOutcome::record() const
{
    return {.run = run,
            .slot = slot,
            .board = board,
            .vendorId = usb.vendorId,
            .productId = usb.productId,
            .usbSerial = usb.serial,
            .location = usb.location,
            .boardSerial = fate != BoardRecord::Fate::None ? boardSerial : QString(),
            .pool = pool,
            .index = index,
            .fate = fate,
            .result = outcomeName(outcome),
            .reason = reason,
            .attempts = attempts,
            .seconds = seconds,
            .time = time.toString(Qt::ISODateWithMs),
            .receivedSha256 = QString::fromLatin1(receivedSha256),
            .numbers = numbers,
            .label = label,
            .reflash = reflash};
}
