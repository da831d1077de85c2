#include "testing/simloader/loaderscript.h"

#include <QtEndian>

#include <algorithm>
#include <climits>
#include <cstring>

namespace
{

using Kind = LoaderFrame::Kind;
using Step = LoaderFaults::Step;

constexpr int PrefixLength = sizeof(Protocol::HostPrefix);
constexpr int MaxGarbageLength = 6;
constexpr int MaxChaosPieces = 3;
constexpr uchar NeverSent = 0xA5; // first byte of every reply token
constexpr int PercentScale = 100;

enum class Match { None, Partial, Complete };

// How far `bytes` go towards a host frame; a complete one also yields its kind.
Match matchFrame(const char *bytes, int size, Kind *kind)
{
    for (int i = 0; i < std::min(size, PrefixLength); ++i) {
        if (bytes[i] != Protocol::HostPrefix[i])
            return Match::None;
    }
    if (size <= PrefixLength)
        return Match::Partial;
    switch (bytes[PrefixLength]) {
    case Protocol::CmdHandshake:
        *kind = LoaderFrame::Handshake;
        return Match::Complete;
    case Protocol::CmdFinish:
        *kind = LoaderFrame::Finish;
        return Match::Complete;
    case Protocol::CmdHeader:
        *kind = LoaderFrame::Header;
        return size == Protocol::HeaderFrameLength ? Match::Complete : Match::Partial;
    default:
        return Match::None;
    }
}

Step stepOf(Kind kind)
{
    switch (kind) {
    case LoaderFrame::Handshake:
        return Step::Handshake;
    case LoaderFrame::Header:
        return Step::Header;
    case LoaderFrame::Block:
        return Step::Block;
    case LoaderFrame::Finish:
        return Step::Finish;
    default:
        return Step::None;
    }
}

bool chaosEnabled(const LoaderFaults::Chaos &chaos)
{
    return chaos.percentWrong > 0 || chaos.percentGarbage > 0 || chaos.percentSilent > 0 ||
           chaos.percentVanish > 0 || chaos.percentSplit > 0 || chaos.percentStray > 0 ||
           chaos.percentDelay > 0;
}

} // namespace

LoaderScript::LoaderScript(const LoaderFaults &faults)
    : m_faults(faults), m_chaos(chaosEnabled(faults.chaos)), m_ready(Protocol::readyReply()),
      m_accept(Protocol::acceptReply()), m_random(faults.chaos.seed)
{
}

QVector<LoaderScript::Turn> LoaderScript::take(const char *data, int size)
{
    QVector<Turn> turns;
    const auto vanished = [&turns] { return !turns.isEmpty() && turns.last().reply.vanish; };
    for (int i = 0; i < size && !vanished();) {
        if (m_mode == Mode::Frames) {
            takeFrameByte(data[i++], &turns);
            continue;
        }
        const int length = Protocol::blockLength(m_announced - m_offset);
        const int part = std::min(length - m_blockFill, size - i);
        std::memcpy(m_block + m_blockFill, data + i, size_t(part));
        m_blockFill += part;
        i += part;
        if (m_blockFill == length) {
            m_blockFill = 0;
            turns.append(turn(LoaderFrame::Block, m_block, length));
        }
    }
    return turns;
}

void LoaderScript::hangUp()
{
    m_mode = Mode::Frames;
    m_frameSize = 0;
    m_blockFill = 0;
    m_announced = -1;
    m_offset = 0;
}

void LoaderScript::takeFrameByte(char byte, QVector<Turn> *turns)
{
    m_frame[m_frameSize++] = byte;
    for (;;) {
        Kind kind = LoaderFrame::Unknown;
        const Match match = matchFrame(m_frame, m_frameSize, &kind);
        if (match == Match::Partial)
            return;
        if (match == Match::Complete) {
            const int size = m_frameSize;
            m_frameSize = 0;
            turns->append(turn(kind, m_frame, size));
            return;
        }
        // Resynchronise on the host prefix one byte at a time.
        Turn unknown;
        unknown.bytes = QByteArray(m_frame, 1);
        turns->append(unknown);
        std::memmove(m_frame, m_frame + 1, size_t(--m_frameSize));
        if (m_frameSize == 0)
            return;
    }
}

LoaderScript::Turn LoaderScript::turn(Kind kind, const char *bytes, int size)
{
    Turn turn;
    turn.kind = kind;
    turn.bytes = QByteArray(bytes, size);
    const int index = ++m_seen[kind];
    turn.reply = answer(kind, index, &turn.accepted);
    if (turn.accepted)
        accept(&turn);
    else if (kind == LoaderFrame::Block)
        m_mode = Mode::Frames;
    turn.flood = stepOf(kind) == m_faults.floodAfter && index == m_faults.floodIndex;
    return turn;
}

LoaderScript::Reply LoaderScript::answer(Kind kind, int index, bool *right)
{
    const Step step = stepOf(kind);
    const auto at = [step, index](Step faultStep, int faultIndex, int every = 0) {
        return faultStep == step && (index == faultIndex || (every > 0 && index > faultIndex &&
                                                             (index - faultIndex) % every == 0));
    };
    const bool wantsAccept = kind == LoaderFrame::Header || kind == LoaderFrame::Block;
    const QByteArray &rightReply = wantsAccept ? m_accept : m_ready;
    const QByteArray &other = wantsAccept ? m_ready : m_accept;

    Reply reply;
    if (m_faults.silent ||
        (kind == LoaderFrame::Handshake && index < m_faults.answerFromHandshake) ||
        at(m_faults.silentAt, m_faults.silentIndex, m_faults.silentEvery))
        return reply;
    if (kind == LoaderFrame::Block && m_acceptedBlocks == m_faults.vanishAfterBlocks) {
        reply.vanish = true;
        return reply;
    }
    reply.pieces = m_faults.replyPieces;
    reply.delay = std::chrono::milliseconds(m_faults.replyDelayMs);
    if (at(m_faults.wrongAt, m_faults.wrongIndex, m_faults.wrongEvery)) {
        reply.bytes = m_faults.wrongReply.isEmpty() ? other : m_faults.wrongReply;
    } else if (!m_chaos) {
        reply.bytes = rightReply;
        *right = true;
    } else {
        const LoaderFaults::Chaos &chaos = m_faults.chaos;
        const auto randomByte = [this] {
            const int value = roll(UCHAR_MAX);
            return char(value < NeverSent ? value : value + 1);
        };
        const int outcome = roll(PercentScale);
        int bound = chaos.percentWrong;
        if (outcome < bound) {
            reply.bytes = other;
        } else if (outcome < (bound += chaos.percentGarbage)) {
            reply.bytes.resize(1 + roll(MaxGarbageLength));
            for (char &byte : reply.bytes)
                byte = randomByte();
        } else if (outcome < (bound += chaos.percentSilent)) {
            return reply;
        } else if (outcome < (bound += chaos.percentVanish)) {
            reply.vanish = true;
            return reply;
        } else {
            reply.bytes = rightReply;
            *right = true;
        }
        if (roll(PercentScale) < chaos.percentSplit)
            reply.pieces = 2 + roll(MaxChaosPieces - 1);
        if (roll(PercentScale) < chaos.percentStray)
            reply.bytes.prepend(randomByte());
        if (roll(PercentScale) < chaos.percentDelay)
            reply.delay += std::chrono::milliseconds(1 + roll(std::max(1, chaos.maxDelayMs)));
    }
    if (at(m_faults.strayAt, m_faults.strayIndex))
        reply.bytes.prepend(m_faults.strayByte);
    return reply;
}

void LoaderScript::accept(Turn *turn)
{
    if (turn->kind == LoaderFrame::Header) {
        const qint64 length = Protocol::headerImageLength(turn->bytes);
        m_headerChecksum =
            qFromBigEndian<quint16>(turn->bytes.constData() + Protocol::HeaderChecksumOffset);
        if (length != m_announced || m_offset >= m_announced) {
            m_announced = length;
            m_offset = 0;
            turn->newImage = true;
        }
    } else if (turn->kind == LoaderFrame::Block) {
        m_offset += turn->bytes.size();
        ++m_acceptedBlocks;
    } else {
        return;
    }
    m_mode = m_offset < m_announced ? Mode::Data : Mode::Frames;
    turn->complete = m_mode == Mode::Frames;
    turn->checksum = m_headerChecksum;
}

int LoaderScript::roll(int below)
{
    return std::uniform_int_distribution<int>(0, below - 1)(m_random);
}
