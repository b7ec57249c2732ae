// The unit a run works on, and the HID backend the window sees it through: the built-in
// simulated unit on an in-process bus, a recording played back as the unit, or this
// machine's hidraw devices; bound to one USB port when asked, and recorded as the
// session goes when asked.
#pragma once

#include "hid/HidBackend.h"
#include "runner/Options.h"

#include <QDateTime>

#include <memory>
#include <string>

namespace trm {
class SessionRecorder;
}
namespace trm::sim {
class SimHidBus;
class SimUnit;
class SimBusPort;
class SimReplayBus;
class ReplayUnit;
} // namespace trm::sim

namespace trm::runner {

class UnitSource {
public:
    ~UnitSource();
    UnitSource(const UnitSource&) = delete;
    UnitSource& operator=(const UnitSource&) = delete;

    // Builds what `o` asks for. Null, with the reason in `error`, when a recording to
    // replay cannot be loaded or the session's recording cannot be written.
    static std::unique_ptr<UnitSource> Make(const Options& o, const QDateTime& started,
                                            const char* version, std::string& error);

    // The backend, handed over once (to the window or to --list).
    std::unique_ptr<HidBackend> takeBackend() { return std::move(backend_); }
    // Plugs the simulated unit in (among the scenario's other devices); nothing for a
    // replay, which starts on its own, or for real units.
    void plugIn();
    // Takes a simulated or replayed unit off its bus.
    void unplug();

    sim::SimUnit* simUnit() const { return unit_.get(); }
    sim::ReplayUnit* replay() const { return replay_.get(); }
    SessionRecorder* recorder() const { return recorder_.get(); }

private:
    explicit UnitSource(const Options& o);

    const Options& options_;
    std::shared_ptr<sim::SimHidBus> bus_;
    std::unique_ptr<sim::SimUnit> unit_;
    std::unique_ptr<sim::SimBusPort> port_;
    std::unique_ptr<sim::SimReplayBus> replayBus_;
    std::shared_ptr<sim::ReplayUnit> replay_;
    std::shared_ptr<SessionRecorder> recorder_;
    std::unique_ptr<HidBackend> backend_;
};

} // namespace trm::runner
