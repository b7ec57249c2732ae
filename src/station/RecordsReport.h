// trm415-station --report: the records as a table with totals, or as CSV.
#pragma once

#include "records/RecordStore.h"

namespace trm::station {

// Prints every row of `store` (as CSV when `csv`). Returns the exit status: 0, or 2 when
// the records cannot be read.
int PrintReport(records::RecordStore& store, bool csv);

} // namespace trm::station
