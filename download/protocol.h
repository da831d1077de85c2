#pragma once

#include <QByteArray>
#include <QtGlobal>

// The bytes exchanged with the device's loader. The engine, the simulated loader, the benchmark
// and the tests all build and match frames through these definitions only.
namespace Protocol
{

// Host frames start with HostPrefix and a command byte; device replies with DevicePrefix and a
// status byte.
constexpr char HostPrefix[2] = {'\x5A', '\xA5'};
constexpr char DevicePrefix[2] = {'\xA5', '\x5A'};
constexpr char CmdHandshake = '\x11';
constexpr char CmdHeader = '\x80';
constexpr char CmdFinish = '\x88';
constexpr char StatusReady = '\x00';
constexpr char StatusAccept = '\x41';

constexpr int CommandFrameLength = 3; // handshake and finish frames
constexpr int HeaderFrameLength = 15; // two zero bytes follow the checksum
constexpr int HeaderValueOffset = 3;
constexpr int HeaderLengthOffset = 7;
constexpr int HeaderChecksumOffset = 11;
constexpr int ReplyLength = 3;
constexpr int MaxBlockLength = 128;
constexpr int FastBaudRate = 115200;

QByteArray handshakeFrame();
QByteArray finishFrame();
QByteArray headerFrame(quint32 headerValue, qint32 imageLength, quint16 checksum);

// Image length carried by a header frame; -1 when `frame` is not a header frame.
qint64 headerImageLength(const QByteArray &frame);

QByteArray readyReply();
QByteArray acceptReply();

// Length of the block that goes out when `remaining` bytes of the image are not yet accepted:
// the next MaxBlockLength bytes, or the short rest. 0 only when nothing remains.
int blockLength(qint64 remaining);

} // namespace Protocol

// 32-bit wrapping sum of `count` bytes taken as unsigned values; the image checksum is its low
// 16 bits.
quint32 byteSum(const char *data, qint32 count);
