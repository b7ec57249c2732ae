// trm415-run: a headless front end that drives the very same main window through a
// complete update, for automation and demonstration. It presses "Start Program " when
// the unit is found, answers each message box as an operator would (OK), and prints one
// line per event. With --simulate it works on the built-in simulated unit.
#include "app/Isp.h"
#include "app/Startup.h"
#include "diag/Fhiddata.h"
#include "hid/linux/LinuxHidBackend.h"
#include "sim/ExpectedImages.h"
#include "sim/Scenario.h"
#include "sim/SimHidBus.h"
#include "sim/SimUnit.h"
#include "workflow/Gate.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

using namespace trm;

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kRefused = 3, kBootLoaderError = 4, kTimeout = 5 };

const char* const kUsageText =
    "Usage: trm415-run [OPTION]...\n"
    "Runs a complete update of a TRM415 unit with the updater's own main window, without\n"
    "an operator: presses \"Start Program \" when the unit is found, answers every message\n"
    "with OK, and prints one line per event (status panel, progress, step label, message).\n"
    "\n"
    "  --simulate[=SCENARIO]  use the built-in simulated unit instead of real hardware;\n"
    "                         SCENARIO is a comma-separated list of settings (below)\n"
    "  --trace                also print every HID report line of the traffic window\n"
    "  --json                 print the events as JSON lines\n"
    "  --timeout=SECONDS      give up after SECONDS (default 120)\n"
    "  --show                 show the window (when a display exists)\n"
    "  --screenshot=FILE      save a PNG of the main window once the unit is found\n"
    "  --help                 print this help\n"
    "\n"
    "Scenario settings:\n";

const char* const kExitText =
    "\nExit status: 0 after \" Program OK !! \" and UpdateDone; 1 any other failure (for a\n"
    "simulated run: the unit does not hold the built-in images); 2 bad usage; 3 the unit was\n"
    "refused; 4 a boot-loader error; 5 time-out.\n"
    "\nExamples:\n"
    "  trm415-run --simulate\n"
    "  trm415-run --simulate='identity=TRM415 V0103P 20200101'   (refused: too old)\n"
    "  trm415-run --simulate=update                              (found in its boot loader)\n"
    "  trm415-run --simulate=wrong-sum=start-program             (boot-loader error)\n";

struct Options {
    bool simulate = false;
    std::string scenario;
    bool trace = false;
    bool json = false;
    bool show = false;
    int timeoutS = 120;
    std::string screenshot;
};

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--simulate") {
            o.simulate = true;
        } else if (a.rfind("--simulate=", 0) == 0) {
            o.simulate = true;
            o.scenario = a.substr(11);
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--show") {
            o.show = true;
        } else if (a.rfind("--screenshot=", 0) == 0 && a.size() > 13) {
            o.screenshot = a.substr(13);
        } else if (a.rfind("--timeout", 0) == 0) {
            std::string v;
            if (a.size() > 9 && a[9] == '=') {
                v = a.substr(10);
            } else if (a.size() == 9 && i + 1 < argc) {
                v = argv[++i];
            }
            char* end = nullptr;
            const long s = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || s <= 0 || s > 86400) {
                error = "--timeout takes a number of seconds";
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

class Reporter {
public:
    Reporter(bool json) : json_(json), tty_(!json && isatty(STDOUT_FILENO)) { clock_.start(); }

    void event(const char* kind, QJsonObject fields, const QString& text) {
        endBar();
        if (json_) {
            fields.insert("event", kind);
            fields.insert("t_ms", static_cast<qint64>(clock_.elapsed()));
            std::printf("%s\n", QJsonDocument(fields).toJson(QJsonDocument::Compact).constData());
        } else {
            std::printf("[%8.3f] %-8s %s\n", static_cast<double>(clock_.elapsed()) / 1000.0, kind,
                        text.toLocal8Bit().constData());
        }
        std::fflush(stdout);
    }

    void progress(int position, int maximum) {
        if (!tty_) {
            event("progress", {{"position", position}, {"maximum", maximum}},
                  QString("%1/%2").arg(position).arg(maximum));
            return;
        }
        // On a terminal the progress is one bar, redrawn in place.
        const int width = 40;
        const int filled = maximum > 0 ? std::clamp(position * width / maximum, 0, width) : 0;
        std::printf("\r[%s%s] %d/%d", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                    std::string(static_cast<std::size_t>(width - filled), '.').c_str(), position,
                    maximum);
        std::fflush(stdout);
        barShown_ = true;
    }

private:
    void endBar() {
        if (barShown_) {
            std::printf("\n");
            barShown_ = false;
        }
    }
    bool json_;
    bool tty_;
    bool barShown_ = false;
    QElapsedTimer clock_;
};

QString quoted(const QString& s) {
    return "\"" + s + "\"";
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
    const bool display =
        std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    if (!o.show || !display) {
        if (o.show) {
            std::fprintf(stderr, "trm415-run: no display; running without a window\n");
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);

    // The unit: simulated on an in-process bus, or whatever is attached.
    std::shared_ptr<sim::SimHidBus> bus;
    std::unique_ptr<sim::SimUnit> unit;
    std::unique_ptr<sim::SimBusPort> port;
    std::unique_ptr<HidBackend> backend;
    if (o.simulate) {
        bus = std::make_shared<sim::SimHidBus>();
        unit = std::make_unique<sim::SimUnit>(scenario);
        port = std::make_unique<sim::SimBusPort>(bus, *unit, scenario.outputReportLength);
        backend = std::make_unique<sim::SimHidBackend>(bus);
    } else {
        backend = std::make_unique<LinuxHidBackend>();
    }
    CreateForms(std::move(backend));
    TfmIsp* w = fmIsp;
    Reporter out(o.json);
    int exitCode = -1;
    bool okShown = false;
    bool pressed = false;
    bool shot = false;
    auto finish = [&](int code, int delayMs) {
        if (exitCode < 0) {
            exitCode = code;
            QTimer::singleShot(delayMs, &app, [] { QApplication::exit(0); });
        }
    };

    QObject::connect(w, &TfmIsp::panelChanged, &app, [&](int panel, const QString& text) {
        out.event("panel", {{"panel", panel}, {"text", text}},
                  QString("%1 %2").arg(panel).arg(quoted(text)));
        if (panel == 1 && (text == kDetectRunHid || text == kDetectUpdateHid)) {
            // Press "Start Program " once it is enabled for the unit just found.
            QTimer::singleShot(0, &app, [&] {
                if (!o.screenshot.empty() && !shot) {
                    shot = true;
                    const QString file = QString::fromStdString(o.screenshot);
                    const bool saved = w->grab().save(file, "PNG");
                    out.event("screenshot", {{"file", file}, {"saved", saved}},
                              QString("%1 %2").arg(file, saved ? "saved" : "NOT saved"));
                }
                if (!pressed && w->btnStartProgram->isEnabled()) {
                    pressed = true;
                    out.event("press", {{"button", "Start Program "}}, quoted("Start Program "));
                    w->btnStartProgram->click();
                }
            });
        }
    });
    QObject::connect(w, &TfmIsp::progressChanged, &app,
                     [&](int position, int maximum) { out.progress(position, maximum); });
    QObject::connect(w, &TfmIsp::stepLabelChanged, &app, [&](const QString& text) {
        out.event("step", {{"text", text}}, quoted(text));
    });
    QObject::connect(w, &TfmIsp::statusColourChanged, &app, [&](bool red) {
        out.event("colour", {{"programming", red}},
                  red ? "red (programming)" : "button face (idle)");
    });
    w->operatorStandIn = [&](MessageKind kind, const QString& text) {
        const char* k = kind == MessageKind::Error         ? "error"
                        : kind == MessageKind::Information ? "information"
                                                           : "plain";
        out.event("message", {{"kind", k}, {"text", text}},
                  QString("%1 %2 -> OK").arg(k, quoted(text)));
        if (text == kProgramOk) {
            okShown = true;
        } else if (text == kInvalidUnitType || text == kTooOldVersion || text == kTooNewVersion) {
            finish(kRefused, 700); // let the refusal close its link first
        } else if (kind == MessageKind::Error && text.endsWith("Error !!")) {
            finish(kBootLoaderError, 100);
        } else if (kind != MessageKind::Information || !text.startsWith("READ ERROR")) {
            if (kind == MessageKind::Error) {
                finish(kFailed, 100);
            }
        }
    };
    QObject::connect(w, &TfmIsp::commandSent, &app, [&](int command) {
        if (command == cmd::UpdateDone && okShown) {
            out.event("done", {{"command", "UpdateDone"}}, "UpdateDone sent");
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
    if (o.trace) {
        fmHidData->show();
        QObject::connect(fmHidData->hbHidData->model(), &QAbstractItemModel::rowsInserted, &app,
                         [&](const QModelIndex&, int first, int last) {
                             for (int r = first; r <= last; ++r) {
                                 const QString line = fmHidData->hbHidData->item(r)->text();
                                 out.event("trace", {{"line", line}}, line);
                             }
                         });
    }
    QTimer::singleShot(o.timeoutS * 1000, &app, [&] {
        out.event("timeout", {{"seconds", o.timeoutS}},
                  QString("no result after %1 s").arg(o.timeoutS));
        finish(kTimeout, 0);
    });

    if (o.show && display) {
        w->show();
    }
    if (unit) {
        sim::StartAmongOtherDevices(*bus, *unit, *port, scenario.otherDevices);
    }
    QApplication::exec();

    int code = exitCode < 0 ? kFailed : exitCode;
    if (unit) {
        const bool holds = sim::HoldsBuiltinImages(*unit, w->imageSel);
        out.event("verify", {{"holds_builtin_images", holds}, {"image_pair", w->imageSel}},
                  QString("the simulated unit %1 the built-in images of pair %2 byte for byte")
                      .arg(holds ? "holds" : "does not hold")
                      .arg(w->imageSel));
        if (code == kOk && !holds) {
            code = kFailed;
        }
    }
    out.event("exit", {{"status", code}}, QString::number(code));
    QObject::disconnect(w, nullptr, &app, nullptr);
    w->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
    if (unit) {
        unit->unplug();
    }
    return code;
}
