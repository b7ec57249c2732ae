// The update measured against its goals, as one table:
//  - a complete simulated update of each image pair, wall time against the floor: the
//    sum of the delays prescribed on that path (timer intervals, reply delays) plus the
//    simulated unit's own restart and reply times;
//  - the per-exchange overhead over the DSP blocks (reply handed over by the unit to the
//    next request reaching it), median and p99;
//  - CPU time during an update and while idle with the unit attached and the
//    keep-alive running;
//  - peak resident memory and start-up time of the programs, measured on child
//    processes of the built binaries.
// Its threads run on one CPU, as trm415-run's do (--cpu=any: wherever the scheduler puts them).
// Run by scripts/bench.sh; CI only builds it.
#include "app/Isp.h"
#include "app/Startup.h"
#include "cli/Cpus.h"
#include "diag/Fhiddata.h"
#include "diag/Fprogdata.h"
#include "sim/SimHidBus.h"
#include "sim/SimUnit.h"
#include "sim/WaitFor.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace trm;

namespace {

bool waitFor(const std::function<bool()>& pred, int ms) {
    return trm::WaitFor(pred, ms, 10);
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct Row {
    std::string what;
    std::string measured;
    std::string goal;
    bool met;
    bool measuredAnything; // a row without samples reads "no data", never "yes"
};
std::vector<Row> rows;

void row(std::string what, std::string measured, std::string goal, bool met,
         bool measuredAnything = true) {
    rows.push_back({std::move(what), std::move(measured), std::move(goal), met, measuredAnything});
}

std::string fmt(const char* f, double a, double b = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

constexpr int kRestartMs = 300;
// The unit answers right at each reply delay: a reply that comes before the host's
// timer has opened the gate is kept until it does.
constexpr int kMarginMs = 0;

// The delays prescribed on the path of one complete update, with the simulated unit's
// own restart and reply times.
double floorMs(int dataPackets) {
    const double m = kMarginMs;
    double f = 0;
    f += kRestartMs + 100;             // restart into the boot loader; one tmMcuProg poll
    f += 6 * (20 + m);                 // Connect .. Sync Program
    f += 1000 + m;                     // Start Program
    f += (dataPackets - 2) * (20 + m); // program data
    f += 2 * (200 + m);                // the last two packets
    f += kRestartMs;                   // restart into the application
    f += 100 + 100;                    // tmRunStep, tmDspProgram
    f += 100;                          // tmRunStep: the final step
    return f;
}

void completeUpdate(int pair) {
    auto bus = std::make_shared<sim::SimHidBus>();
    sim::UnitScenario s;
    s.replyMarginMs = kMarginMs;
    s.restartMs = kRestartMs;
    s.identityText = pair == 1 ? "TRM415 V0104P 20210630" : "TRM415 V0104A 20210630";
    sim::SimUnit unit(s);
    sim::SimBusPort port(bus, unit);
    CreateForms(std::make_unique<sim::SimHidBackend>(bus));
    bool ok = false;
    fmIsp->operatorStandIn = [&](MessageKind, const QString& t) { ok = ok || t == kProgramOk; };
    unit.start(&port);
    waitFor([] { return fmIsp->btnStartProgram->isEnabled(); }, 10000);

    QElapsedTimer wall;
    const double cpu0 = cpuSeconds();
    wall.start();
    fmIsp->btnStartProgram->click();
    waitFor([&] { return ok; }, 120000);
    const double ms = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    const double cpu = cpuSeconds() - cpu0;
    waitFor([&] { return unit.state().updateDone == 1; }, 5000);

    const int packets = pair == 1 ? 1035 : 1026;
    const double f = floorMs(packets);
    row(fmt("complete update, pair %.0f: wall / floor", pair), fmt("%.0f / %.0f ms", ms, f),
        "ratio <= 1.02", ok && ms / f <= 1.02, ok);
    rows.back().measured += fmt(" = %.4f", ms / f);
    const auto gaps = unit.state().dspGapsUs;
    row(fmt("per-exchange overhead, pair %.0f (%.0f DSP blocks)", pair,
            static_cast<double>(gaps.size())),
        fmt("median %.0f us, p99 %.0f us", percentile(gaps, 0.5), percentile(gaps, 0.99)),
        "median <= 100 us, p99 <= 1000 us",
        percentile(gaps, 0.5) <= 100 && percentile(gaps, 0.99) <= 1000, !gaps.empty());
    const auto slack = unit.state().bootSlackUs;
    const double least = slack.empty() ? 0 : *std::min_element(slack.begin(), slack.end());
    row(fmt("boot-loader pacing, pair %.0f (%.0f gaps): least time beyond the step's delay", pair,
            static_cast<double>(slack.size())),
        fmt("%.0f us (median %.0f us)", least, percentile(slack, 0.5)), ">= 0 us", least >= 0,
        !slack.empty());
    row(fmt("CPU during the update, pair %.0f (program and simulated unit)", pair),
        fmt("%.2f %% of one core", 100 * cpu / (ms / 1000)), "<= 5 %",
        100 * cpu / (ms / 1000) <= 5);

    if (pair == 1) {
        // Idle with the unit attached: the link open, its keep-alive every 3000 ms.
        const double idle0 = cpuSeconds();
        QElapsedTimer t;
        t.start();
        const int keepAlives0 = unit.state().keepAlive;
        QEventLoop idle; // nothing of ours polls meanwhile
        QTimer::singleShot(10000, &idle, &QEventLoop::quit);
        idle.exec();
        const double idleCpu = cpuSeconds() - idle0;
        const double idleS = static_cast<double>(t.nsecsElapsed()) / 1e9;
        row(fmt("CPU idle, unit attached, %.0f keep-alives in %.0f s",
                unit.state().keepAlive - keepAlives0, idleS),
            fmt("%.3f %% of one core", 100 * idleCpu / idleS), "< 1 %",
            100 * idleCpu / idleS<1, unit.state().keepAlive> keepAlives0);
    }
    fmIsp->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
    unit.unplug();
}

// Runs a program of ours for a while; returns its peak resident memory in KiB.
long childPeakKiB(const std::vector<std::string>& argv, int seconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::vector<char*> a;
        for (const auto& s : argv) {
            a.push_back(const_cast<char*>(s.c_str()));
        }
        a.push_back(nullptr);
        alarm(static_cast<unsigned>(seconds));
        execv(a[0], a.data());
        _exit(127);
    }
    int status = 0;
    rusage u{};
    wait4(pid, &status, 0, &u);
    return u.ru_maxrss;
}

std::string binary(const char* argv0, const char* relative) {
    std::string dir = argv0;
    dir = dir.substr(0, dir.rfind('/') + 1);
    return dir + relative;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--startup") == 0) {
        // Child: time from the process's start to the main window shown.
        QElapsedTimer t;
        t.start();
        std::ifstream stat("/proc/self/stat");
        std::string field;
        for (int i = 0; i < 22 && stat >> field; ++i) {
        }
        const double startTicks = std::stod(field);
        std::ifstream up("/proc/uptime");
        double uptime = 0;
        up >> uptime;
        const double beforeMainMs =
            (uptime - startTicks / static_cast<double>(sysconf(_SC_CLK_TCK))) * 1000;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        CreateForms(std::make_unique<sim::SimHidBackend>(std::make_shared<sim::SimHidBus>()));
        fmIsp->show();
        waitFor(
            [] {
                return fmIsp->isVisible() && fmIsp->windowHandle() &&
                       fmIsp->windowHandle()->isExposed();
            },
            5000);
        QApplication::processEvents();
        std::printf("%.1f\n", beforeMainMs + static_cast<double>(t.nsecsElapsed()) / 1e6);
        DestroyForms();
        return 0;
    }
    // As trm415-run does, every thread of the update runs on the CPU it starts on;
    // --cpu=any leaves them to the scheduler, as the operator's program does.
    const bool anyCpu = argc > 1 && std::strcmp(argv[1], "--cpu=any") == 0;
    std::string why;
    const int cpu = cli::CurrentCpu();
    if (!anyCpu && cpu >= 0 && cli::BindToCpu(cpu, why)) {
        std::printf("threads on CPU %d, as trm415-run runs them (--cpu=any: anywhere)\n", cpu);
    } else {
        std::printf("threads wherever the scheduler puts them\n");
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    completeUpdate(1);
    completeUpdate(0);

    const std::string update = binary(argv[0], "../src/trm415-update");
    const std::string run = binary(argv[0], "../bin/trm415-run");
    const long runKiB = childPeakKiB({run, "--simulate", "--timeout=3"}, 10);
    row("peak RSS, the window with a unit attached (trm415-run --simulate, 3 s)",
        fmt("%.1f MiB", runKiB / 1024.0), "<= 60 MiB", runKiB / 1024.0 <= 60);
    const long updKiB = childPeakKiB({update}, 2);
    row("peak RSS, trm415-update (no unit on this machine, 2 s)", fmt("%.1f MiB", updKiB / 1024.0),
        "<= 60 MiB", updKiB / 1024.0 <= 60);

    // Start-up, median of 5 child runs.
    std::vector<double> starts;
    for (int i = 0; i < 5; ++i) {
        std::string cmd = std::string(argv[0]) + " --startup";
        FILE* p = popen(cmd.c_str(), "r");
        double ms = 0;
        if (p != nullptr && std::fscanf(p, "%lf", &ms) == 1) {
            starts.push_back(ms);
        }
        if (p != nullptr) {
            pclose(p);
        }
    }
    const double start = percentile(starts, 0.5);
    row("start to window shown, offscreen (median of 5)", fmt("%.0f ms", start), "<= 300 ms",
        start <= 300);

    std::printf("\n%-66s | %-36s | %-32s | %s\n", "measurement", "measured", "goal", "met");
    std::printf("%s\n", std::string(150, '-').c_str());
    for (const auto& r : rows) {
        std::printf("%-66s | %-36s | %-32s | %s\n", r.what.c_str(), r.measured.c_str(),
                    r.goal.c_str(),
                    !r.measuredAnything ? "no data"
                    : r.met             ? "yes"
                                        : "NO");
    }
    return 0;
}
