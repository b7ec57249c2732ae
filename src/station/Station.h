// trm415-station's core: slots bound to USB ports, one trm415-run process per unit on
// a slot, the runner's JSON lines followed, and one record per update. A slot goes
// plug -> update -> verdict -> unplug -> next; a unit left plugged in after its update
// is not updated again until it has been unplugged. Processes, not threads: a fault or
// a crash in one unit's update never touches another's.
#pragma once

#include "records/RecordWriter.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace trm {
class HidBackend;
}

namespace trm::station {

struct SlotConfig {
    QString label;
    QString port;     // the USB port the slot's units are plugged into
    QString scenario; // simulated slots: the simulated unit's settings
};

struct StationOptions {
    std::vector<SlotConfig> slotConfigs;
    bool autoSlots = false; // each port a unit appears on becomes a slot
    bool simulate = false;  // each slot's runner works on its own simulated unit
    int units = 0;          // stop after this many units in all (0: no limit)
    int unitsBefore = 0;    // of them, begun before a reload
    QString runner;         // the trm415-run program
    QStringList runnerArgs; // passed to every runner (e.g. --timeout)
    QString recordingDir;   // a recording of each unit's session in this directory
    QString name;           // the station's name in the records
};

enum class SlotState {
    Waiting,        // for a unit to be plugged in
    Updating,       // its runner is at work
    AwaitingUnplug, // the update has ended; waiting for the unit to be unplugged
    Removed,        // the unit left in the middle of its update; its runner waits for it
    Stopped,        // its runner refused the settings it was given: it takes no unit
};

// Every state, in the order above.
inline constexpr SlotState kSlotStates[] = {SlotState::Waiting, SlotState::Updating,
                                            SlotState::AwaitingUnplug, SlotState::Removed,
                                            SlotState::Stopped};
// The state's name on the page, in the JSON and in /metrics ("waiting", "updating",
// "unplug", "removed", "stopped").
const char* StateName(SlotState s);

struct SlotStatus {
    QString label, port;
    SlotState state = SlotState::Waiting;
    QString phase; // of the update under way
    int percent = -1;
    qint64 pid = 0;
    double startedAt = 0; // station time the update began
    QString serial;
    std::optional<records::Result> lastVerdict; // of its last update
    double lastVerdictAt = 0;                   // station time of it
    QString message;      // what the slot's state means: a removal's meaning, a verdict's
    QString cure;         // what to do about it
    double removedAt = 0; // station time the unit left (state Removed)
    int updates = 0;
};

// A slot's state as JSON: the same for the station's JSON lines, its page and its API.
// `now` is the station's time.
QJsonObject SlotJson(const SlotStatus& s, double now);

// How an update ended: its record (result, message, serial, ...) and the station's view.
struct UpdateEnd {
    records::UpdateRecord record;
    bool recovered = false; // found first in its boot loader: written with image pair 1
    double elapsedS = 0;    // plug-in to verdict
    QString cure;           // what to do about it (empty when ok)
};

struct StationTotals {
    int ok = 0, refused = 0, failed = 0;
    int running = 0;
    double okPerHour = 0;    // the yield: units updated ok per hour
    double unitsPerHour = 0; // every unit that ended, whatever its result
};

// The record's message of an update closed mid-firmware by the station's second
// signal: the unit is in its boot loader.
inline constexpr const char* kLeftInBootLoader =
    "left in its boot loader: plug it into any slot to finish";

// Runs trm415-run once on the settings each slot's runners are given, before the first
// unit: false, with the runner's own words, when it does not take them (each runner
// would end at once, unit after unit).
bool CheckRunnerSettings(const StationOptions& options, QString& error);

class Station : public QObject {
    Q_OBJECT
public:
    // `records` must outlive the station. `watcher` lists the units present (null for
    // simulated slots, where a new unit is "plugged in" as soon as a slot is free).
    Station(StationOptions options, records::RecordWriter& records,
            std::unique_ptr<HidBackend> watcher, QObject* parent = nullptr);
    ~Station() override;

    void start();
    // The first signal: no new update starts; those under way run to their end.
    void drain();
    // The second: every runner closes its window as the window's close does.
    void abort();
    bool draining() const { return draining_; }
    // The units begun, those before a reload among them.
    int launched() const { return launched_; }

    const std::vector<SlotStatus>& slotStatus() const { return slots_; }
    StationTotals totals() const;
    double now() const { return static_cast<double>(clock_.nsecsElapsed()) / 1e9; }
    // 0 when every update ended ok, 1 otherwise.
    int exitStatus() const;

signals:
    // Slot `index`'s state changed (slotStatus() says how).
    void slotChanged(int index);
    // An update began on slot `index`; its record is `recordId`.
    void updateStarted(int index, const QString& recordId);
    // The runner on slot `index` has its unit, and its serial (when it has one) is known.
    void unitFound(int index, const QString& recordId);
    // The update on slot `index` ended, its record written (or its error told).
    void updateEnded(int index, const trm::station::UpdateEnd& end);
    // A record could not be written (the station goes on; the row may be missing).
    void recordError(const QString& text);
    // The station has nothing more to do: drained, or the units are all updated.
    void finished();

private:
    struct Job;
    void scan();
    void launch(int index);
    void onLine(int index, const QJsonObject& line);
    void onExit(int index, int exitCode, QProcess::ExitStatus status);
    void setState(int index, SlotState state);
    void checkFinished();
    int slotOfPort(const QString& port) const;
    int quietestCpu() const;

    StationOptions options_;
    records::RecordWriter& records_;
    std::unique_ptr<HidBackend> watcher_;
    std::vector<SlotStatus> slots_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<int> cpus_; // the CPUs the runners are spread over
    QStringList presentPorts_;
    QElapsedTimer clock_;
    int launched_ = 0;
    int ended_ = 0;
    int ok_ = 0, refused_ = 0, failed_ = 0;
    bool draining_ = false;
    bool finished_ = false;
};

} // namespace trm::station
