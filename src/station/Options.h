// trm415-station's command line: its options, read and checked, and its help.
#pragma once

#include "station/RecordsReport.h"
#include "station/Station.h"

#include <QHostAddress>
#include <QString>

#include <string>
#include <vector>

namespace trm::station {

struct Options {
    bool help = false;
    StationOptions station;
    QString records = trm::records::kDefaultRecordsFile;
    bool json = false;
    bool report = false;
    ReportFormat reportFormat = ReportFormat::Text;
    bool version = false;
    int simulated = 0;
    QString scenario;
    bool bell = true;
    QString config;      // the configuration file read, if any
    std::string logFile; // --log
    bool verbose = false;
    QString stateDir;             // the spool's directory (default: the state directory)
    int drainMs = 30000;          // at the end, how long held rows may take to reach the server
    records::RecordFilter filter; // --report's
    QString http;                 // the web page's address, HOST:PORT (empty: no page)
    QStringList httpHosts;        // names the page answers to besides this machine's
    QString onStart, onResult;    // the jig's hooks
};

// Reads argv into `o`. False, with the reason in `error`, for anything not understood.
// --help wins over everything.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error);

// A host name or address --http-host takes: letters, digits, '-', '.' and '_', or an IP
// address (an IPv6 one with or without brackets).
bool HostNameText(const QString& name);

// The web page's address: "HOST:PORT", "[V6]:PORT", or ":PORT" for every address.
bool ParseHttpAddress(const QString& text, QHostAddress& host, quint16& port, QString& error);

// --help.
void PrintHelp();

// The words the shell completes, and the configuration file's settings, as the table of
// options lists them.
std::vector<std::string> CompletionWords();
std::vector<std::string> ConfigurationKeys();

} // namespace trm::station
