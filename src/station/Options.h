// trm415-station's command line: its options, read and checked, and its help.
#pragma once

#include "station/RecordsReport.h"
#include "station/Station.h"

#include <QString>

#include <string>

namespace trm::station {

struct Options {
    bool help = false;
    StationOptions station;
    QString records = trm::records::kDefaultRecordsFile;
    bool json = false;
    bool report = false;
    bool csv = false;
    bool version = false;
    int simulated = 0;
    QString scenario;
    bool bell = true;
    QString config;      // the configuration file read, if any
    std::string logFile; // --log
    bool verbose = false;
    QString stateDir;    // the spool's directory (default: the state directory)
    int drainMs = 30000; // at the end, how long held rows may take to reach the server
    ReportFilter filter; // --report's
};

// Reads argv into `o`. False, with the reason in `error`, for anything not understood.
// --help wins over everything.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error);

// --help.
void PrintHelp();

} // namespace trm::station
