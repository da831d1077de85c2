#pragma once

#include <QString>

#include <optional>

class QSqlQuery;
class Transaction;

// The store's tables, versioned in its meta table: created on first use and upgraded in place,
// one step a version.
class StoreSchema
{
public:
    static constexpr int Version = 5;

    // Within `transaction`: creates the schema, or upgrades it from `from`.
    static bool upgrade(Transaction &transaction, int from, bool postgres, QString *error);
    // The schema's version; 0 where there is no store (no meta table). Nullopt: it could not be
    // read, and `detail` says why.
    static std::optional<int> version(QSqlQuery &query, bool postgres, QString *detail);
};
