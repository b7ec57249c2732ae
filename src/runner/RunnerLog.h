// The runner's logging: Qt logging categories trm415.* (hid, link, workflow, firmware,
// runner) are silent below warnings by default; --verbose turns their debug output on
// for standard error, and --log=FILE writes every message at full detail to a file as
// well. QT_LOGGING_RULES still applies to standard error.
#pragma once

#include <QLoggingCategory>

#include <string>

namespace trm::runner {

Q_DECLARE_LOGGING_CATEGORY(lcRunner)

// Returns false when `logFile` is given and cannot be opened for writing.
bool InstallRunnerLog(bool verbose, const std::string& logFile);

} // namespace trm::runner
