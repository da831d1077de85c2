#include "bench/stationfixture.h"

#include "testing/kit/waitfor.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>

StationFixture::StationFixture(int slotCount, const SimLoader::Faults &line)
    : m_line(line), m_slots(size_t(slotCount))
{
}

QString StationFixture::slotPath(int slot) const
{
    return m_dir.filePath(QString("slot-%1").arg(slot + 1));
}

QStringList StationFixture::portArguments() const
{
    QStringList arguments;
    for (size_t s = 0; s < m_slots.size(); ++s)
        arguments << "-p" << slotPath(int(s));
    return arguments;
}

bool StationFixture::prepare(int count)
{
    for (Slot &slot : m_slots)
        for (int k = 0; k < count; ++k) {
            slot.boards.push_back(std::make_unique<SimLoader>(m_line));
            if (!slot.boards.back()->open())
                return false;
        }
    return true;
}

bool StationFixture::plug(int slot)
{
    Slot &here = m_slots[size_t(slot)];
    if (here.next == int(here.boards.size()))
        here.boards.push_back(std::make_unique<SimLoader>(m_line));
    // Served from now on: a loader waiting its turn only holds its terminal.
    if (!here.boards[size_t(here.next)]->start())
        return false;
    here.current = here.next++;
    here.finishedAt = {};
    if (!QFile::link(here.boards[size_t(here.current)]->portName(), slotPath(slot)))
        return false;
    here.pluggedAt.push_back(std::chrono::steady_clock::now());
    return true;
}

bool StationFixture::plugAll()
{
    for (size_t s = 0; s < m_slots.size(); ++s)
        if (!plug(int(s)))
            return false;
    return true;
}

void StationFixture::unplug(int slot)
{
    Slot &here = m_slots[size_t(slot)];
    if (here.current < 0)
        return;
    QFile::remove(slotPath(slot));
    here.boards[size_t(here.current)]->stop();
    here.current = -1;
}

const std::vector<std::unique_ptr<SimLoader>> &StationFixture::boards(int slot) const
{
    return m_slots[size_t(slot)].boards;
}

bool StationFixture::awaitLooking(QProcess &cli, int timeoutMs)
{
    std::vector<bool> looking(m_slots.size());
    size_t count = 0;
    return waitFor(
        [&] {
            while (cli.canReadLine()) {
                const QJsonObject event = QJsonDocument::fromJson(cli.readLine()).object();
                const int s = event["slot"].toInt() - 1;
                if (event["event"] != "waiting" || s < 0 || s >= int(looking.size()) ||
                    looking[size_t(s)])
                    continue;
                looking[size_t(s)] = true;
                ++count;
            }
            return count == looking.size();
        },
        timeoutMs);
}

bool StationFixture::serve(QProcess &cli, int perSlot, int timeoutMs, const Result &result,
                           const std::function<void(const QJsonObject &event)> &seen)
{
    int flashed = 0;
    const int expected = int(m_slots.size()) * perSlot;
    return waitFor(
        [&] {
            while (cli.canReadLine()) {
                const QJsonObject event = QJsonDocument::fromJson(cli.readLine()).object();
                if (seen)
                    seen(event);
                const int s = event["slot"].toInt() - 1;
                if (event["event"] != "result" || s < 0 || s >= int(m_slots.size()) ||
                    m_slots[size_t(s)].current < 0)
                    continue;
                Slot &slot = m_slots[size_t(s)];
                result(event, *slot.boards[size_t(slot.current)]);
                unplug(s);
                ++flashed;
                if (slot.next < perSlot)
                    plug(s);
            }
            return flashed == expected;
        },
        timeoutMs);
}

int StationFixture::underWay() const
{
    int count = 0;
    for (const Slot &slot : m_slots)
        if (slot.current >= 0) {
            const SimLoader &board = *slot.boards[size_t(slot.current)];
            count += board.count(SimLoader::Frame::Header) > 0 &&
                     board.count(SimLoader::Frame::Finish) == 0;
        }
    return count;
}

const std::vector<std::chrono::steady_clock::time_point> &StationFixture::pluggedAt(int slot) const
{
    return m_slots[size_t(slot)].pluggedAt;
}

int StationFixture::swapFinished(std::chrono::milliseconds settle)
{
    const auto now = std::chrono::steady_clock::now();
    int swapped = 0;
    for (size_t s = 0; s < m_slots.size(); ++s) {
        Slot &slot = m_slots[s];
        if (slot.current < 0)
            continue;
        if (slot.finishedAt == std::chrono::steady_clock::time_point{}) {
            if (slot.boards[size_t(slot.current)]->count(SimLoader::Frame::Finish) > 0)
                slot.finishedAt = now;
            continue;
        }
        if (now - slot.finishedAt < settle)
            continue;
        unplug(int(s));
        // An endless stream of boards: the ones done with are let go.
        slot.boards.erase(slot.boards.begin(), slot.boards.begin() + slot.next);
        slot.next = 0;
        slot.pluggedAt.clear();
        plug(int(s));
        ++swapped;
    }
    return swapped;
}
