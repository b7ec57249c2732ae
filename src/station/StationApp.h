// trm415-station's run, with its options read: the records opened and the station
// registered in them, the slots and their runners, what is printed, the signals (drain,
// close, reload), the spool's watch, the page and the jig's hooks, each in its own
// place. One StationApp is one run; a reload ends it and the program starts again.
#pragma once

#include "records/Location.h"
#include "records/RecordWriter.h"
#include "station/Hooks.h"
#include "station/Options.h"
#include "station/Station.h"
#include "station/StationView.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace trm::cli {
class SignalEvents;
}

namespace trm::station {

class WebPage;

// The exit statuses of trm415-station.
enum StationExit { kAllOk = 0, kNotAllOk = 1, kUsage = 2 };

class StationApp : public QObject {
public:
    StationApp(Options options, records::Location records);
    ~StationApp() override;

    // The station's whole run: returns its exit status. `reload` is set when a SIGHUP
    // asked for the station to start again, with its configuration read anew, once the
    // updates under way had ended.
    int run(bool& reload);

    // Reads the configuration anew, as a reload would: false, with the reason, when it
    // cannot be used (the station then goes on with the one it has).
    void setReloadCheck(std::function<bool(QString& error)> check) {
        reloadCheck_ = std::move(check);
    }

    // The environment variable that carries the units begun across a reload.
    static constexpr const char* kUnitsBeforeVariable = "TRM415_STATION_UNITS_BEGUN";

private:
    bool openRecords();
    void onSignal(int signalNumber);
    void sayStart();
    void sayClosed(int count);
    void watchSpool();
    bool startPage();
    void startHooks();
    void drainSpool();
    static QMap<QString, QString> hookEnv(const SlotStatus& s, const QString& recordId,
                                          const UpdateEnd* end = nullptr);

    Options o_;
    records::Location location_;
    QString shown_; // the records' display form (no secret)
    QString name_;  // the station's name in the records
    QString warning_;
    int closedUnfinished_ = 0;
    records::RecordWriter records_;
    std::unique_ptr<Station> station_;
    std::unique_ptr<StationView> view_;
    std::unique_ptr<WebPage> web_;
    std::unique_ptr<cli::SignalEvents> signals_;
    Hooks hooks_;
    std::optional<HookCommand> onStart_, onResult_;
    QTimer beat_, spoolWatch_;
    records::RecordWriter::Status lastSpool_;
    int exitCode_ = -1;
    bool recordFailed_ = false;
    int stopSignals_ = 0;
    bool reload_ = false;
    std::function<bool(QString&)> reloadCheck_;
};

} // namespace trm::station
