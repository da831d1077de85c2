#pragma once

#include "testing/simloader/simloader.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QProcess;

// A station's fixture of simulated boards for the benchmarks: a folder with one link per slot to
// the terminal of the board plugged in there, as /dev/serial/by-path holds links to adapters.
// A board is unplugged as a real one is, its name going with it: the link goes before the loader
// closes its line, so that no station finds another program's terminal, given the freed number,
// under the old name.
class StationFixture
{
public:
    StationFixture(int slotCount, const SimLoader::Faults &line);

    bool isValid() const { return m_dir.isValid(); }
    // slot from 0; the links are named slot-1, slot-2 ... as a job numbers its slots.
    QString slotPath(int slot) const;
    QStringList portArguments() const; // -p and each slot's path

    // Opens `count` boards' terminals for each slot ahead, so that plugging one in costs no
    // terminal's start while a station is measured; each is served once plugged in.
    bool prepare(int count);
    // Plugs the slot's next prepared board in, or a fresh one when none is left.
    bool plug(int slot);
    bool plugAll();
    void unplug(int slot);
    // Every board the slot has had, in order, and those prepared for it.
    const std::vector<std::unique_ptr<SimLoader>> &boards(int slot) const;
    // Boards plugged in now whose image is under way: past the header, short of the finish.
    int underWay() const;
    // When the slot's boards were plugged in, in order.
    const std::vector<std::chrono::steady_clock::time_point> &pluggedAt(int slot) const;

    // Reads `cli`'s events until every slot has said it is looking for a board: a line's station
    // starts once a shift, so boards are plugged in, and timed, only once it is up. False when
    // not all did within timeoutMs.
    bool awaitLooking(QProcess &cli, int timeoutMs);
    // Sees each board the station reports, with its result event.
    using Result = std::function<void(const QJsonObject &event, const SimLoader &board)>;
    // Plays the operator for `cli`, a lumedra-cli --station --json on these slots, reading its
    // events: each board it reports is unplugged and the slot's next plugged in, `perSlot` boards
    // a slot. True once all have come, false when they did not within timeoutMs. `seen`, when
    // given, sees every event first (a scanner that answers a slot asking for a label).
    bool serve(QProcess &cli, int perSlot, int timeoutMs, const Result &result,
               const std::function<void(const QJsonObject &event)> &seen = {});
    // One round of an operator who watches the boards rather than a station's events: each board
    // whose loader answered the finish frame at least `settle` ago is swapped for a fresh one, and
    // let go. Returns how many were.
    int swapFinished(std::chrono::milliseconds settle);

private:
    struct Slot {
        std::vector<std::unique_ptr<SimLoader>> boards;
        int next = 0;     // the board plugged in next
        int current = -1; // plugged in now; -1: none
        std::chrono::steady_clock::time_point finishedAt{};
        std::vector<std::chrono::steady_clock::time_point> pluggedAt;
    };

    const SimLoader::Faults m_line;
    QTemporaryDir m_dir;
    std::vector<Slot> m_slots;
};
