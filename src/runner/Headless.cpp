// trm415-run: a headless front end that drives the very same main window through a
// complete update, for automation and demonstration. It presses "Start Program " when
// the unit is found, answers each message box as an operator would (OK), and reports
// the update phase by phase: readable lines for people, JSON lines for programs. With
// --simulate it works on the built-in simulated unit; --check looks at the machine.
#include "app/Isp.h"
#include "app/Startup.h"
#include "core/PostToThread.h"
#include "diag/Fhiddata.h"
#include "firmware/BuiltinImageBytes.h"
#include "hid/PortBound.h"
#include "hid/Recording.h"
#include "hid/linux/LinuxHidBackend.h"
#include "runner/CommandLine.h"
#include "runner/Doctor.h"
#include "runner/Records.h"
#include "runner/Report.h"
#include "runner/RunnerLog.h"
#include "runner/Signals.h"
#include "sim/ExpectedImages.h"
#include "sim/Replay.h"
#include "sim/Scenario.h"
#include "sim/SimHidBus.h"
#include "sim/SimUnit.h"
#include "workflow/Gate.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

using namespace trm;
using namespace trm::runner;

namespace {

enum Exit {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kRefused = 3,
    kBootLoaderError = 4,
    kTimeout = 5,
    kCannotOpen = 6,
    kNoUnit = 7,
    kUnitLost = 8,
};

const char* resultName(int code) {
    switch (code) {
    case kOk:
        return "ok";
    case kRefused:
        return "refused";
    case kBootLoaderError:
        return "boot-loader error";
    case kTimeout:
        return "time-out";
    case kCannotOpen:
        return "cannot open";
    case kNoUnit:
        return "no unit";
    case kUnitLost:
        return "unit lost";
    default:
        return "failed";
    }
}

const char* const kUsageText =
    "Usage: trm415-run [OPTION]...\n"
    "Runs a complete update of a TRM415 unit with the updater's own main window, without\n"
    "an operator: presses \"Start Program \" when the unit is found, answers every message\n"
    "with OK, and reports the update phase by phase.\n"
    "\n"
    "  --simulate[=SCENARIO]  use the built-in simulated unit instead of real hardware;\n"
    "                         SCENARIO is a comma-separated list of settings (below)\n"
    "  --port=PORT            update only the unit on USB port PORT (its sysfs name, as\n"
    "                         --list shows it, e.g. 1-2.3); units on other ports are\n"
    "                         invisible to the run\n"
    "  --list                 list every TRM415 attached: port, identity, node, whether\n"
    "                         it can be opened, HID serial (with --json: one array)\n"
    "  --records=FILE         add a row for the update to the SQLite database FILE\n"
    "  --record=FILE          write a recording of the session to FILE (JSON lines), to\n"
    "                         be replayed with --simulate=replay:FILE\n"
    "  --check                look at this machine as a support engineer would: every\n"
    "                         TRM415 attached, whether it can be opened and why not,\n"
    "                         the udev rule, the seat and groups, and the cures\n"
    "  --json                 JSON lines on standard output (a summary object last);\n"
    "                         everything else goes to standard error\n"
    "  --trace                also report every HID report line of the traffic window\n"
    "  --verbose              also report the step labels, and turn on the debug log\n"
    "                         categories trm415.* on standard error\n"
    "  --log=FILE             write the whole log, at full detail, to FILE as well\n"
    "  --timeout=SECONDS      give up after SECONDS (default 120)\n"
    "  --show                 show the window (when a display exists)\n"
    "  --screenshot=FILE      save a PNG of the main window once the unit is found\n"
    "  --version              print the versions and the built-in images' SHA-256\n"
    "  --help                 print this help\n"
    "\n"
    "Scenario settings:\n";

const char* const kExitText =
    "\nExit status: 0 after \" Program OK !! \" and UpdateDone; 1 any other failure (for a\n"
    "simulated run: the unit does not hold the built-in images); 2 bad usage; 3 the unit was\n"
    "refused; 4 a boot-loader error; 5 time-out with the update under way; 6 a unit is\n"
    "present but cannot be opened; 7 no unit was found within the time-out; 8 the unit was\n"
    "unplugged during the update and did not come back. SIGINT or SIGTERM closes the window\n"
    "as its close button does and ends the run with status 1. With --check:\n"
    "0 when a unit is present and can be opened, 6 when one is present but cannot be\n"
    "opened, 7 when none is present.\n"
    "\nExamples:\n"
    "  trm415-run --simulate\n"
    "  trm415-run --simulate='identity=TRM415 V0103P 20200101'   (refused: too old)\n"
    "  trm415-run --simulate=update                              (found in its boot loader)\n"
    "  trm415-run --simulate=wrong-sum=start-program             (boot-loader error)\n"
    "  trm415-run --check\n";

struct Options {
    bool simulate = false;
    std::string scenario;
    bool trace = false;
    bool json = false;
    bool verbose = false;
    bool show = false;
    bool check = false;
    bool list = false;
    bool version = false;
    std::string port;
    std::string records;
    std::string recording;
    int timeoutS = 120;
    std::string screenshot;
    std::string logFile;
};

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name, std::string& out) {
            return OptionValue(argc, argv, i, name, out);
        };
        std::string v;
        if (a == "--simulate") {
            o.simulate = true;
        } else if (a.rfind("--simulate=", 0) == 0) {
            o.simulate = true;
            o.scenario = a.substr(11);
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--show") {
            o.show = true;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a.rfind("--port", 0) == 0 && value("--port", v)) {
            if (!IsUsbPortName(v)) {
                error = "--port takes a USB port such as 1-2.3 (see --list), not '" + v + "'";
                return false;
            }
            o.port = v;
        } else if (a.rfind("--records", 0) == 0 && value("--records", v)) {
            o.records = v;
        } else if (a.rfind("--record", 0) == 0 && value("--record", v)) {
            o.recording = v;
        } else if (a == "--version") {
            o.version = true;
        } else if (a.rfind("--screenshot", 0) == 0 && value("--screenshot", v)) {
            o.screenshot = v;
        } else if (a.rfind("--log", 0) == 0 && value("--log", v)) {
            o.logFile = v;
        } else if (a.rfind("--timeout", 0) == 0) {
            if (!value("--timeout", v)) {
                error = "--timeout takes a number of seconds";
                return false;
            }
            char* end = nullptr;
            const long s = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || s <= 0 || s > 86400) {
                error = "--timeout takes a number of seconds (1 to 86400)";
                return false;
            }
            o.timeoutS = static_cast<int>(s);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    return true;
}

QString sha256(const std::vector<std::uint8_t>& bytes) {
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex());
}

QString quoted(const QString& s) {
    return "\"" + s + "\"";
}

int printVersion() {
    std::printf("trm415-run %s (trm415-update)\nQt %s (built with %s)\n", TRM_VERSION, qVersion(),
                QT_VERSION_STR);
    for (int sel = 0; sel < 2; ++sel) {
        const auto mcu = BuiltinMcuBytes(sel);
        const auto dsp = BuiltinDspBytes(sel);
        std::printf("McuImage%d  %6zu bytes  sha256 %s\n", sel, mcu.size(),
                    sha256(mcu).toLatin1().constData());
        std::printf("DspImage%d  %6zu bytes  sha256 %s\n", sel, dsp.size(),
                    sha256(dsp).toLatin1().constData());
    }
    return kOk;
}

// Where the phases of one update stand, and how long each took.
class Phases {
public:
    explicit Phases(Report& out) : out_(out) {}

    bool running(const char* key) const { return current_ == key; }
    void begin(const char* key, const QString& label, const QString& text,
               QJsonObject fields = {}) {
        end();
        current_ = key;
        label_ = label;
        start_ = out_.now();
        fields.insert("phase", QString::fromLatin1(key));
        fields.insert("state", "start");
        qCDebug(lcRunner, "phase %s begins", key);
        out_.event("phase", label, text, fields);
    }
    // Ends the phase under way, if any, with a closing line.
    void end(const QString& text = {}, QJsonObject fields = {}, Tone tone = Tone::Plain) {
        if (current_.empty()) {
            return;
        }
        out_.endProgress();
        const double d = out_.now() - start_;
        durations_[current_] = d;
        qCDebug(lcRunner, "phase %s ends after %.3f s", current_.c_str(), d);
        fields.insert("phase", QString::fromStdString(current_));
        fields.insert("state", "end");
        fields.insert("duration_s", std::round(d * 1000) / 1000);
        out_.event("phase", label_,
                   (text.isEmpty() ? QString("done") : text) + QString(" (%1 s)").arg(d, 0, 'f', 1),
                   fields, tone);
        current_.clear();
    }
    QJsonObject durations() const {
        QJsonObject o;
        for (const auto& [k, v] : durations_) {
            o.insert(QString::fromStdString(k), std::round(v * 1000) / 1000);
        }
        return o;
    }

private:
    Report& out_;
    std::string current_;
    QString label_;
    double start_ = 0;
    std::map<std::string, double> durations_;
};

// A private runtime directory when the session has none, so Qt neither warns about it
// nor falls back to a shared one.
std::unique_ptr<QTemporaryDir> ensureRuntimeDir() {
    if (qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
        return nullptr;
    }
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/trm415-run-XXXXXX");
    if (!dir->isValid()) {
        return nullptr;
    }
    QFile::setPermissions(dir->path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", dir->path().toLocal8Bit());
    return dir;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("%s%s%s", kUsageText, sim::ScenarioHelp(), kExitText);
            return kOk;
        }
    }
    sim::UnitScenario scenario;
    if (!parse(argc, argv, o, error)) {
        std::fprintf(stderr, "trm415-run: %s\nTry 'trm415-run --help'.\n", error.c_str());
        return kUsage;
    }
    if (auto bad = sim::ParseScenario(o.scenario, scenario)) {
        std::fprintf(stderr, "trm415-run: %s\nTry 'trm415-run --help'.\n", bad->c_str());
        return kUsage;
    }
    if (o.version) {
        return printVersion();
    }
    if (!InstallRunnerLog(o.verbose, o.logFile)) {
        std::fprintf(stderr, "trm415-run: cannot write the log file '%s'\n", o.logFile.c_str());
        return kUsage;
    }
    // An update under way is not cut short because whoever reads our output has gone (a
    // station killed, a pipe closed): writes to it fail instead, and the update goes on.
    std::signal(SIGPIPE, SIG_IGN);
    const auto runtimeDir = ensureRuntimeDir();
    const bool display =
        std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    if (!o.show || !display) {
        if (o.show) {
            std::fprintf(stderr, "trm415-run: no display; running without a window\n");
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (o.check) {
        QCoreApplication app(argc, argv);
        return RunDoctor(o.json);
    }
    QApplication app(argc, argv);
    const QDateTime started = QDateTime::currentDateTimeUtc();

    // The unit: simulated on an in-process bus, or whatever is attached; on one USB port
    // only when asked.
    std::shared_ptr<sim::SimHidBus> bus;
    std::unique_ptr<sim::SimUnit> unit;
    std::unique_ptr<sim::SimBusPort> port;
    std::unique_ptr<sim::SimReplayBus> replayBus;
    std::shared_ptr<sim::ReplayUnit> replay;
    std::unique_ptr<HidBackend> backend;
    if (o.simulate && !scenario.replayFile.empty()) {
        sim::Recording recording;
        if (auto bad = sim::LoadRecording(scenario.replayFile, recording)) {
            std::fprintf(stderr, "trm415-run: cannot replay %s\n", bad->c_str());
            return kUsage;
        }
        if (recording.cutOff) {
            std::fprintf(stderr,
                         "trm415-run: %s ends in a cut-off line: replaying up to it, "
                         "then a silent unit\n",
                         scenario.replayFile.c_str());
        }
        bus = std::make_shared<sim::SimHidBus>();
        replayBus = std::make_unique<sim::SimReplayBus>(*bus);
        replay = sim::ReplayUnit::Create(std::move(recording), *replayBus, scenario);
        backend = std::make_unique<sim::SimHidBackend>(bus);
    } else if (o.simulate) {
        bus = std::make_shared<sim::SimHidBus>();
        unit = std::make_unique<sim::SimUnit>(scenario);
        port = std::make_unique<sim::SimBusPort>(bus, *unit, scenario.outputReportLength);
        backend = std::make_unique<sim::SimHidBackend>(bus);
    } else {
        LinuxHidBackend::Options linux;
        linux.useMonitor = !o.list;
        linux.onlyPort = o.port;
        backend = std::make_unique<LinuxHidBackend>(linux);
    }
    if (!o.port.empty()) {
        backend = std::make_unique<PortBoundBackend>(std::move(backend), o.port);
    }
    // The session as it goes, through whichever backend is in use.
    std::shared_ptr<SessionRecorder> recorder;
    if (!o.recording.empty() && !o.list) {
        QJsonObject images;
        for (int sel = 0; sel < 2; ++sel) {
            images.insert(QString("McuImage%1").arg(sel), sha256(BuiltinMcuBytes(sel)));
            images.insert(QString("DspImage%1").arg(sel), sha256(BuiltinDspBytes(sel)));
        }
        recorder = std::make_shared<SessionRecorder>(
            o.recording, QJsonObject{{"program", QString("trm415-run %1").arg(TRM_VERSION)},
                                     {"start_utc", started.toString(Qt::ISODateWithMs)},
                                     {"images", images},
                                     {"simulated", o.simulate},
                                     {"scenario", QString::fromStdString(o.scenario)},
                                     {"port", QString::fromStdString(o.port)}});
        if (!recorder->ok()) {
            std::fprintf(stderr, "trm415-run: cannot write the recording '%s': %s\n",
                         o.recording.c_str(), std::strerror(errno));
            return kUsage;
        }
        backend = std::make_unique<RecordingBackend>(std::move(backend), recorder);
    }
    if (o.list) {
        if (unit) {
            sim::StartAmongOtherDevices(*bus, *unit, *port, scenario);
        }
        const int listed = ListUnits(*backend, o.json);
        if (unit) {
            unit->unplug();
        }
        return listed;
    }

    // The record of this update, begun once a unit is found.
    RecordStore records;
    UpdateRecord record;
    record.start = started;
    record.host = QSysInfo::machineHostName();
    record.port = QString::fromStdString(o.port);
    if (!o.records.empty()) {
        QString why;
        if (!records.open(QString::fromStdString(o.records), why)) {
            std::fprintf(stderr, "trm415-run: cannot use the records database '%s': %s\n",
                         o.records.c_str(), why.toLocal8Bit().constData());
            return kUsage;
        }
    }
    auto beginRecord = [&] {
        if (!records.isOpen() || !record.id.isEmpty()) {
            return;
        }
        QString why;
        if (!records.begin(record, why)) {
            std::fprintf(stderr, "trm415-run: cannot write the records database: %s\n",
                         why.toLocal8Bit().constData());
        }
    };

    CreateForms(std::move(backend));
    TfmIsp* w = fmIsp;
    Report out(StyleFor(o.json, o.verbose, isatty(STDOUT_FILENO) != 0, std::getenv("NO_COLOR")));
    Phases phases(out);

    int exitCode = -1;
    bool okShown = false;
    bool pressed = false;
    bool shot = false;
    bool unitSeen = false;
    bool present = false; // the unit is on the bus now, in either identity
    bool interrupted = false;
    std::optional<HidDeviceInfo> denied;
    int unitType = -1;
    QString identityText;
    QJsonArray texts;

    out.event("start", "trm415-run",
              QString("%1 on %2")
                  .arg(TRM_VERSION, o.simulate ? "the simulated unit" : "this machine's units"),
              {{"version", TRM_VERSION},
               {"simulated", o.simulate},
               {"scenario", QString::fromStdString(o.scenario)}});

    auto finish = [&](int code, int delayMs) {
        if (exitCode < 0) {
            exitCode = code;
            QTimer::singleShot(delayMs, &app, [] { QApplication::exit(0); });
        }
    };

    // A unit present but not openable: the window tells it; the run ends with its own
    // status (unless the unit is found usable meanwhile).
    auto windowDenied = w->HidCtl->OnDeviceAccessDenied;
    w->HidCtl->OnDeviceAccessDenied = [&, windowDenied](const HidDeviceInfo& info) {
        denied = info;
        record.serial = QString::fromStdString(info.serial);
        if (record.port.isEmpty()) {
            record.port = QString::fromStdString(UsbPortOf(info.instanceId));
        }
        beginRecord();
        out.event("denied", "unit",
                  QString("%1 cannot be opened for reading and writing: %2; "
                          "try 'trm415-run --check'")
                      .arg(QString::fromStdString(info.path),
                           QString::fromLocal8Bit(std::strerror(info.accessError))),
                  {{"node", QString::fromStdString(info.path)},
                   {"error", QString::fromLocal8Bit(std::strerror(info.accessError))}},
                  Tone::Bad);
        if (windowDenied) {
            windowDenied(info);
        }
        if (!unitSeen) {
            finish(kCannotOpen, 100);
        }
    };

    QObject::connect(w, &TfmIsp::panelChanged, &app, [&](int panel, const QString& text) {
        if (panel != 1) {
            return;
        }
        if (text == kDisconnect || text == kNoDevice) {
            present = false;
        }
        const bool run = text == kDetectRunHid;
        if (!run && text != kDetectUpdateHid) {
            return;
        }
        unitSeen = true;
        present = true;
        THidDevice* d = w->device;
        const QString node = d ? QString::fromStdString(d->DevicePath()) : QString();
        const QString where = d ? QString::fromStdString(UsbPortOf(d->InstanceId())) : QString();
        const QString serial = d ? QString::fromStdString(d->SerialNumber()) : QString();
        out.event("unit", "unit found",
                  QString("%1 identity (%2)%3%4%5")
                      .arg(run ? "run" : "update", quoted(text),
                           node.isEmpty() ? "" : " at " + node,
                           where.isEmpty() ? "" : ", USB port " + where,
                           serial.isEmpty() ? "" : ", serial " + serial),
                  {{"identity", run ? "run" : "update"},
                   {"text", text},
                   {"node", node},
                   {"port", where},
                   {"serial", serial}});
        if (!where.isEmpty()) {
            record.port = where;
        }
        if (!serial.isEmpty()) {
            record.serial = serial;
        }
        beginRecord();
        if (run && phases.running("restart-to-application")) {
            phases.end("back in its application");
        } else if (!run && phases.running("restart-to-boot-loader")) {
            phases.end("in its boot loader");
        }
        // Press "Start Program " once it is enabled for the unit just found.
        QTimer::singleShot(0, &app, [&] {
            if (!o.screenshot.empty() && !shot) {
                shot = true;
                const QString file = QString::fromStdString(o.screenshot);
                const bool saved = w->grab().save(file, "PNG");
                out.event("screenshot", "screenshot",
                          QString("%1 %2").arg(file, saved ? "saved" : "NOT saved"),
                          {{"file", file}, {"saved", saved}});
            }
            if (!pressed && w->btnStartProgram->isEnabled()) {
                pressed = true;
                phases.begin("identity-query", "identity query",
                             QString("pressing %1").arg(quoted("Start Program ")));
                w->btnStartProgram->click();
            }
        });
    });
    QObject::connect(w, &TfmIsp::unitTypeReply, &app, [&](int type) { unitType = type; });
    QObject::connect(w, &TfmIsp::identityReply, &app,
                     [&](const QString& text) { identityText = text; });
    QObject::connect(w, &TfmIsp::progressChanged, &app,
                     [&](int position, int maximum) { out.progress(position, maximum); });
    QObject::connect(w, &TfmIsp::stepLabelChanged, &app, [&](const QString& text) {
        if (text == "Connect") {
            if (phases.running("identity-query")) {
                phases.end(identityText.isEmpty() ? "no answer: the unit is in its boot loader"
                                                  : "accepted");
            } else {
                phases.end();
            }
            phases.begin("boot-loader", "boot loader",
                         QString("writing the microcontroller firmware, image pair %1 (%2 bytes)")
                             .arg(w->imageSel)
                             .arg(w->imageLength),
                         {{"image_pair", w->imageSel}, {"bytes", w->imageLength}});
            out.beginProgress("boot loader", "packets");
        } else if (text == "MCU Reset") {
            phases.end(QString("firmware written (%1 bytes)").arg(w->imageLength));
            phases.begin("restart-to-application", "restart", "the unit starts its new firmware");
        } else if (text == "Dsp Program") {
            phases.end();
            phases.begin("dsp-download", "signal processor",
                         QString("downloading the program of pair %1").arg(w->imageSel),
                         {{"image_pair", w->imageSel}});
            out.beginProgress("signal processor", "blocks");
        }
        if (o.verbose) {
            out.event("step", "step", quoted(text), {{"text", text}});
        }
    });
    QObject::connect(w, &TfmIsp::commandSent, &app, [&](int command) {
        if (command == cmd::IapReset) {
            QJsonObject verdict{{"unit_type", unitType},
                                {"text", identityText},
                                {"verdict", "accepted"},
                                {"image_pair", w->imageSel}};
            out.event("identity", "identity",
                      QString("unit type 0x%1, %2: accepted, image pair %3")
                          .arg(unitType, 2, 16, QChar('0'))
                          .arg(quoted(identityText))
                          .arg(w->imageSel),
                      verdict, Tone::Good);
            phases.end("accepted");
            phases.begin("restart-to-boot-loader", "restart", "into the boot loader");
        }
        if (command == cmd::UpdateDone && okShown) {
            if (replay) {
                // Let the replay take it (and answer it) before the window goes.
                auto* poll = new QTimer(&app);
                QObject::connect(poll, &QTimer::timeout, &app, [&, poll] {
                    if (replay->writesLeft() == 0 || replay->silenced()) {
                        poll->stop();
                        finish(kOk, 100);
                    }
                });
                poll->start(10);
                QTimer::singleShot(2000, &app, [&] { finish(kOk, 0); });
                return;
            }
            if (!o.simulate) {
                finish(kOk, 300);
                return;
            }
            // Wait until the simulated unit has taken it.
            auto* poll = new QTimer(&app);
            QObject::connect(poll, &QTimer::timeout, &app, [&, poll] {
                if (unit->state().updateDone > 0) {
                    poll->stop();
                    finish(kOk, 0);
                }
            });
            poll->start(10);
        }
    });
    w->operatorStandIn = [&](MessageKind kind, const QString& text) {
        const char* k = kind == MessageKind::Error         ? "error"
                        : kind == MessageKind::Information ? "information"
                                                           : "plain";
        texts.append(text);
        const bool refusal =
            text == kInvalidUnitType || text == kTooOldVersion || text == kTooNewVersion;
        if (refusal) {
            out.event("identity", "identity",
                      QString("unit type 0x%1%2: refused")
                          .arg(unitType, 2, 16, QChar('0'))
                          .arg(identityText.isEmpty() ? "" : ", " + quoted(identityText)),
                      {{"unit_type", unitType},
                       {"text", identityText},
                       {"verdict", "refused"},
                       {"refusal", text}},
                      Tone::Bad);
            phases.end("refused", {}, Tone::Bad);
        } else if (text == kProgramOk) {
            phases.end("program downloaded");
        }
        const Tone tone = text == kProgramOk                      ? Tone::Good
                          : kind == MessageKind::Error || refusal ? Tone::Bad
                                                                  : Tone::Plain;
        out.event("message", "message", QString("%1 %2 -> OK").arg(k, quoted(text)),
                  {{"kind", k}, {"text", text}}, tone);
        if (text == kProgramOk) {
            okShown = true;
        } else if (refusal) {
            finish(kRefused, 700); // let the refusal close its link first
        } else if (kind == MessageKind::Error && text.endsWith("Error !!")) {
            phases.end("stopped", {}, Tone::Bad);
            finish(kBootLoaderError, 100);
        } else if (kind == MessageKind::Error) {
            finish(kFailed, 100);
        }
    };
    if (o.trace) {
        fmHidData->show();
        QObject::connect(fmHidData->hbHidData->model(), &QAbstractItemModel::rowsInserted, &app,
                         [&](const QModelIndex&, int first, int last) {
                             for (int r = first; r <= last; ++r) {
                                 const QString line = fmHidData->hbHidData->item(r)->text();
                                 out.event("trace", "trace", line, {{"line", line}});
                             }
                         });
    }
    QTimer::singleShot(o.timeoutS * 1000, &app, [&] {
        const bool none = !unitSeen;
        out.event("timeout", "time-out",
                  none ? QString("no unit found within %1 s").arg(o.timeoutS)
                       : QString("no result after %1 s").arg(o.timeoutS),
                  {{"seconds", o.timeoutS}, {"unit_found", !none}}, Tone::Bad);
        phases.end("not finished", {}, Tone::Bad);
        finish(none ? (denied ? kCannotOpen : kNoUnit) : present ? kTimeout : kUnitLost, 0);
    });
    // Asked to stop: the window closes as its close button would close it (the link is
    // closed, nothing more is sent), and the run ends as a failure.
    TerminationSignals stop;
    QObject::connect(&stop, &TerminationSignals::received, &app, [&](int signalNumber) {
        out.event("interrupted", "interrupted",
                  QString("signal %1 (%2): closing the window")
                      .arg(signalNumber)
                      .arg(QString::fromLocal8Bit(strsignal(signalNumber))),
                  {{"signal", signalNumber}}, Tone::Bad);
        phases.end("interrupted", {}, Tone::Bad);
        interrupted = true;
        w->close();
        finish(kFailed, 0);
    });
    if (o.show && display) {
        w->show();
    }
    if (unit) {
        sim::StartAmongOtherDevices(*bus, *unit, *port, scenario);
    }
    if (replay) {
        const bool strict = scenario.replayStrict;
        replay->setDifferenceHandler([&app, &out, &finish, strict](const sim::ReplayDifference& d) {
            const QString text = QString::fromStdString(d.text());
            PostToThread(&app, [&out, &finish, strict, text, d] {
                out.event(
                    "replay", "replay",
                    QString("%1: %2").arg(strict ? "difference, stopping" : "difference", text),
                    {{"difference", text},
                     {"write", d.write},
                     {"line", d.line},
                     {"offset", static_cast<qint64>(d.offset)}},
                    Tone::Bad);
                if (strict) {
                    finish(kFailed, 100);
                }
            });
        });
        replay->start();
    }
    QApplication::exec();
    int code = exitCode < 0 ? kFailed : exitCode;
    QJsonObject summary;
    const bool sent =
        code == kOk || phases.durations().contains("boot-loader") || phases.running("boot-loader");
    if (replay) {
        const auto differences = replay->differences();
        const int left = replay->writesLeft();
        const bool complete = replay->recording().complete;
        QJsonArray list;
        for (const auto& d : differences) {
            list.append(QString::fromStdString(d.text()));
        }
        // A whole recording the program did not write to its end differs from it too.
        const bool shortOfIt = complete && left > 0 && code == kOk;
        out.event("replay", "replay",
                  QString("%1 of %2 recorded reports written as recorded, %3 difference(s)%4")
                      .arg(replay->writesMatched())
                      .arg(replay->totalWrites())
                      .arg(differences.size())
                      .arg(shortOfIt ? QString(", %1 recorded reports never written").arg(left)
                                     : QString()),
                  {{"file", QString::fromStdString(scenario.replayFile)},
                   {"strict", scenario.replayStrict},
                   {"writes_matched", replay->writesMatched()},
                   {"writes_left", left},
                   {"differences", list}},
                  differences.empty() && !shortOfIt ? Tone::Good : Tone::Bad);
        summary.insert("replay_differences",
                       static_cast<int>(differences.size()) + (shortOfIt ? 1 : 0));
        if (code == kOk && scenario.replayStrict && (!differences.empty() || shortOfIt)) {
            code = kFailed;
        }
    }
    if (unit && sent) {
        const bool holds = sim::HoldsBuiltinImages(*unit, w->imageSel);
        out.event("verify", "verify",
                  QString("the simulated unit %1 the built-in images of pair %2 byte for byte")
                      .arg(holds ? "holds" : "does not hold")
                      .arg(w->imageSel),
                  {{"holds_builtin_images", holds}, {"image_pair", w->imageSel}},
                  holds ? Tone::Good : Tone::Plain);
        summary.insert("holds_builtin_images", holds);
        if (code == kOk && !holds) {
            code = kFailed;
        }
    }
    const QString result = interrupted && code != kOk ? "interrupted" : resultName(code);
    summary.insert("result", result);
    summary.insert("exit_status", code);
    summary.insert("messages", texts);
    summary.insert("identity_text", identityText);
    summary.insert("unit_type", unitType);
    summary.insert("image_pair", w->imageSel);
    summary.insert("mcu_sha256", sent ? sha256(BuiltinMcuBytes(w->imageSel)) : QString());
    summary.insert("dsp_sha256", code == kOk ? sha256(BuiltinDspBytes(w->imageSel)) : QString());
    summary.insert("durations_s", phases.durations());
    summary.insert("elapsed_s", std::round(out.now() * 1000) / 1000);
    if (!record.id.isEmpty()) {
        record.end = QDateTime::currentDateTimeUtc();
        ApplySummary(record, summary);
        QString why;
        if (!records.finish(record, why)) {
            std::fprintf(stderr, "trm415-run: cannot write the records database: %s\n",
                         why.toLocal8Bit().constData());
        }
        summary.insert("record_id", record.id);
    }
    out.event("summary", "result", QString("%1, exit status %2").arg(result).arg(code), summary,
              code == kOk ? Tone::Good : Tone::Bad);
    if (recorder) {
        recorder->end({{"result", result}, {"exit_status", code}});
    }
    QObject::disconnect(w, nullptr, &app, nullptr);
    w->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
    if (unit) {
        unit->unplug();
    }
    if (replay) {
        replay->unplug();
    }
    return code;
}
