// The command-line programs' logging: Qt logging categories trm415.* (hid, link,
// workflow, firmware, runner, station, records) are silent below warnings by default;
// --verbose turns their debug output on for standard error, and --log=FILE writes every
// message at full detail to a file as well. QT_LOGGING_RULES still applies to standard
// error.
#pragma once

#include <QLoggingCategory>

#include <string>

namespace trm::cli {

// Returns false when `logFile` is given and cannot be opened for writing.
bool InstallLog(bool verbose, const std::string& logFile);

} // namespace trm::cli
