// Choosing and wrapping the backend of a run.
#include "runner/UnitSource.h"

#include "hid/PortBound.h"
#include "hid/Recording.h"
#include "hid/linux/LinuxHidBackend.h"
#include "runner/Images.h"
#include "sim/Replay.h"
#include "sim/SimHidBus.h"
#include "sim/SimUnit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace trm::runner {

UnitSource::UnitSource(const Options& o) : options_(o) {}
UnitSource::~UnitSource() = default;

std::unique_ptr<UnitSource> UnitSource::Make(const Options& o, const QDateTime& started,
                                             const char* version, std::string& error) {
    std::unique_ptr<UnitSource> s(new UnitSource(o));
    const sim::UnitScenario& scenario = o.scenario;
    if (o.simulate && !scenario.replayFile.empty()) {
        sim::Recording recording;
        if (auto bad = sim::LoadRecording(scenario.replayFile, recording)) {
            error = "cannot replay " + *bad;
            return nullptr;
        }
        if (recording.cutOff) {
            std::fprintf(stderr,
                         "trm415-run: %s ends in a cut-off line: replaying up to it, "
                         "then a silent unit\n",
                         scenario.replayFile.c_str());
        }
        s->bus_ = std::make_shared<sim::SimHidBus>();
        s->replayBus_ = std::make_unique<sim::SimReplayBus>(*s->bus_);
        s->replay_ = sim::ReplayUnit::Create(std::move(recording), *s->replayBus_, scenario);
        s->backend_ = std::make_unique<sim::SimHidBackend>(s->bus_);
    } else if (o.simulate) {
        s->bus_ = std::make_shared<sim::SimHidBus>();
        s->unit_ = std::make_unique<sim::SimUnit>(scenario);
        s->port_ =
            std::make_unique<sim::SimBusPort>(s->bus_, *s->unit_, scenario.outputReportLength);
        s->backend_ = std::make_unique<sim::SimHidBackend>(s->bus_);
    } else {
        LinuxHidBackend::Options linux;
        linux.useMonitor = !o.list;
        linux.onlyPort = o.port;
        s->backend_ = std::make_unique<LinuxHidBackend>(linux);
    }
    if (!o.port.empty()) {
        s->backend_ = std::make_unique<PortBoundBackend>(std::move(s->backend_), o.port);
    }
    // The session as it goes, through whichever backend is in use.
    if (!o.sessionRecording.empty() && !o.list) {
        s->recorder_ = std::make_shared<SessionRecorder>(
            o.sessionRecording, QJsonObject{{"program", QString("trm415-run %1").arg(version)},
                                            {"start_utc", started.toString(Qt::ISODateWithMs)},
                                            {"images", BuiltinImageDigests()},
                                            {"simulated", o.simulate},
                                            {"scenario", QString::fromStdString(o.scenarioText)},
                                            {"port", QString::fromStdString(o.port)}});
        if (!s->recorder_->ok()) {
            error =
                "cannot write the recording '" + o.sessionRecording + "': " + std::strerror(errno);
            return nullptr;
        }
        s->backend_ = std::make_unique<RecordingBackend>(std::move(s->backend_), s->recorder_);
    }
    return s;
}

void UnitSource::plugIn() {
    if (unit_) {
        sim::StartAmongOtherDevices(*bus_, *unit_, *port_, options_.scenario);
    }
}

void UnitSource::unplug() {
    if (unit_) {
        unit_->unplug();
    }
    if (replay_) {
        replay_->unplug();
    }
}

} // namespace trm::runner
