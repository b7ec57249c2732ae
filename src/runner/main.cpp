// trm415-run: a headless front end that drives the very same main window through a
// complete update, for automation and demonstration. It presses "Start Program " when
// the unit is found, answers each message box as an operator would (OK), and reports
// the update phase by phase: readable lines for people, JSON lines for programs. With
// --simulate it works on the built-in simulated unit; --check looks at the machine.
// This file reads the options and hands over; UpdateRun does the work of one run.
#include "app/Startup.h"
#include "cli/Cpus.h"
#include "cli/Log.h"
#include "runner/Doctor.h"
#include "runner/ExitStatus.h"
#include "runner/Images.h"
#include "runner/Options.h"
#include "runner/Report.h"
#include "runner/RunRecord.h"
#include "runner/UnitSource.h"
#include "runner/UpdateRun.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

using namespace trm;
using namespace trm::runner;

namespace {

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

int usageError(const std::string& error) {
    std::fprintf(stderr, "trm415-run: %s\nTry 'trm415-run --help'.\n", error.c_str());
    return kUsage;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, o, error)) {
        return usageError(error);
    }
    if (o.help) {
        PrintHelp();
        return kOk;
    }
    if (o.version) {
        PrintVersion(TRM_VERSION);
        return kOk;
    }
    // Before any thread is started: each inherits the binding.
    if (o.cpu != Options::kCpuAny) {
        const int cpu = o.cpu == Options::kCpuHere ? cli::CurrentCpu() : o.cpu;
        std::string why;
        if (cpu >= 0 && !cli::BindToCpu(cpu, why) && o.cpu != Options::kCpuHere) {
            return usageError("--cpu: " + why);
        }
    }
    if (!cli::InstallLog(o.verbose, o.logFile)) {
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

    auto source = UnitSource::Make(o, started, TRM_VERSION, error);
    if (!source) {
        std::fprintf(stderr, "trm415-run: %s\n", error.c_str());
        return kUsage;
    }
    if (o.list) {
        auto backend = source->takeBackend();
        source->plugIn();
        const int listed = ListUnits(*backend, o.json);
        source->unplug();
        return listed;
    }

    // The record of this update, begun once a unit is found.
    RunRecord record;
    record.row().start = started;
    record.row().host = QSysInfo::machineHostName();
    record.row().port = QString::fromStdString(o.port);
    QString why;
    if (!record.open(o.recordsLocation, why)) {
        // Not echoed: what was given may hold a password.
        std::fprintf(stderr, "trm415-run: cannot use the records database: %s\n",
                     why.toLocal8Bit().constData());
        return kUsage;
    }

    CreateForms(source->takeBackend());
    Report out(
        cli::StyleFor(o.json, o.verbose, isatty(STDOUT_FILENO) != 0, std::getenv("NO_COLOR")));
    UpdateRun run(o, *source, record, out, TRM_VERSION);
    run.start();
    QApplication::exec();
    const int code = run.conclude();
    DestroyForms();
    source->unplug();
    return code;
}
