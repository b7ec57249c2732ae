// A recorded session (hid/Recording.h) played back as a unit: its devices appear with
// the recorded identities and descriptors, each report the program writes is compared
// with the recording and answered with the recorded replies after the recorded delays
// (counted from that write), and the devices leave and come back when the recording
// says. Strict by default: the first report that differs ends the replay (the unit
// falls silent) and is reported; a loose replay goes on and lists them all. The fault
// settings of a scenario (wrong-sum, drop, mute, late, early) apply on top.
#pragma once

#include "hid/HidBackend.h"
#include "sim/SimUnit.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace trm::sim {

class SimHidBus;

struct RecordedDevice {
    std::string id; // as the recording names it
    std::string node, port, serial;
    HIDD_ATTRIBUTES attributes;
    HIDP_CAPS caps;
    bool numbered = false;
    Bytes descriptor;
};

struct RecordedEvent {
    enum class Kind { Arrival, Removal, Write, Read };
    Kind kind = Kind::Read;
    std::int64_t tUs = 0; // from the start of the session
    int line = 0;         // in the recording, from 1
    std::string device;
    Bytes bytes;            // Write and Read: the report, report ID first
    RecordedDevice arrival; // Arrival
};

struct Recording {
    int major = 0, minor = 0;
    std::string program, startUtc;
    std::map<std::string, std::string> images; // built-in image name -> SHA-256
    std::vector<RecordedEvent> events;
    bool complete = false; // it ends with the line of a session that ended whole
    bool cutOff = false;   // its last line was cut off mid-way, and dropped
};

// Reads a recording. Returns why it cannot be replayed, naming the line: not a
// recording, a newer major version, a line that is not a JSON object, a missing or
// wrong field, hex that is not hex, a report longer than its device's reports, a device
// used before its arrival, time going backwards. Fields and line types it does not know
// are ignored. A last line without its newline that is not whole is where a killed
// session stopped: it is dropped and `cutOff` is set.
std::optional<std::string> ParseRecording(std::string_view text, Recording& out);
std::optional<std::string> LoadRecording(const std::string& path, Recording& out);

// Where a replayed unit's devices appear: the in-process bus, or emulated kernel
// devices in the tests. Called from the replay's own thread.
class ReplayBus {
public:
    using Sink = std::function<void(const std::uint8_t* report, std::size_t length)>;
    virtual ~ReplayBus() = default;
    // Adds the device; `sink` receives every report written to it. Returns its id.
    virtual std::string add(const RecordedDevice& device, Sink sink) = 0;
    virtual void remove(const std::string& id) = 0;
    virtual void deliver(const std::string& id, const Bytes& report) = 0;
};

class SimReplayBus : public ReplayBus {
public:
    explicit SimReplayBus(SimHidBus& bus) : bus_(bus) {}
    std::string add(const RecordedDevice& device, Sink sink) override;
    void remove(const std::string& id) override;
    void deliver(const std::string& id, const Bytes& report) override;

private:
    SimHidBus& bus_;
};

struct ReplayDifference {
    int write = 0;             // the n-th report the program wrote, from 1
    int line = 0;              // the recorded write's line; 0 past the end
    std::int64_t tUs = 0;      // its time in the recording
    std::size_t offset = 0;    // the first byte that differs
    std::string device;        // the recorded device written to
    std::string writtenDevice; // the device the program wrote to
    Bytes expected, written;
    std::string text() const;
};

class ReplayUnit : public std::enable_shared_from_this<ReplayUnit> {
public:
    // `scenario` supplies the fault settings and whether the replay is strict. `bus`
    // must outlive the replay.
    static std::shared_ptr<ReplayUnit> Create(Recording recording, ReplayBus& bus,
                                              const UnitScenario& scenario);
    ~ReplayUnit();
    ReplayUnit(const ReplayUnit&) = delete;
    ReplayUnit& operator=(const ReplayUnit&) = delete;

    // Plays the recording's beginning: the devices it starts with.
    void start();
    // Takes every device the replay has added off the bus.
    void unplug();
    // Runs on the writer's thread at each difference; set before start().
    void setDifferenceHandler(std::function<void(const ReplayDifference&)> handler);

    std::vector<ReplayDifference> differences() const;
    // Recorded writes the program has not come to yet.
    int writesLeft() const;
    int totalWrites() const { return totalWrites_; }
    int writesMatched() const;
    // True once a strict difference, or a fault that ends the session, has silenced it.
    bool silenced() const;
    const Recording& recording() const { return recording_; }

private:
    ReplayUnit(Recording recording, ReplayBus& bus, const UnitScenario& scenario);
    using Clock = std::chrono::steady_clock;
    struct Action {
        Clock::time_point due;
        std::function<void()> run;
    };
    void onWrite(const std::string& recordedDevice, const std::uint8_t* report, std::size_t n);
    void scheduleUntilWrite(); // caller holds m_
    void push(Clock::time_point due, std::function<void()> run);
    void removeAt(Clock::time_point due, const std::string& recordedDevice); // caller holds m_
    void schedulerMain();
    bool faultAt(const std::string& recordedDevice, const std::uint8_t* report, std::size_t n);

    Recording recording_;
    ReplayBus& bus_;
    UnitScenario scenario_;

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Action> queue_;
    bool quit_ = false;
    std::thread scheduler_;

    std::size_t cursor_ = 0;
    std::int64_t anchorUs_ = 0;
    Clock::time_point anchorAt_;
    int writes_ = 0;
    int matched_ = 0;
    int consumed_ = 0;
    int totalWrites_ = 0;
    bool silenced_ = false;
    std::string wrongSumDevice_;                 // the next read on it echoes a wrong sum
    std::map<std::string, std::string> busIds_;  // recorded device -> bus id (scheduler)
    std::map<std::string, bool> updateIdentity_; // recorded device -> boot loader
    std::uint8_t lastBootCode_ = 0;
    int dataPackets_ = 0;
    int dspBlocks_ = 0;
    std::vector<ReplayDifference> differences_;
    std::function<void(const ReplayDifference&)> onDifference_;
};

} // namespace trm::sim
