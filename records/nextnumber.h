#pragma once

#include <QtGlobal>

#include <optional>

class QString;
class Transaction;

// The place in a pool's sequence that the pool gives out next: the lowest number given back
// first, else the next one never given out. Read alike by a reservation, by the recorder's
// status and by a look at a store.
struct NextNumber {
    qint64 index = -1; // -1: none is left
    bool returned = false;
    qint64 after = -1; // given out once `index` is taken; -1: none

    // `lock` holds the pool's row until the transaction ends (PostgreSQL; SQLite's writer holds
    // the whole file). Nullopt: it could not be read, and `detail` says why.
    static std::optional<NextNumber> read(Transaction &transaction, qint64 pool, qint64 capacity,
                                          bool lock, QString *detail);
};
