#include "station/storesink.h"

#include "records/recorder.h"

bool StoreSink::write(const BoardOutcome &outcome, QString *error)
{
    return recorder->record(outcome.record(), error);
}
