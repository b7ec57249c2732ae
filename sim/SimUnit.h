// A simulated TRM415 unit: what the updater relies on the unit to do, independent of
// the transport that carries its reports (the in-process simulated bus, or an emulated
// hidraw node in the Linux backend's tests). It remembers everything written into it
// and can misbehave on request.
#pragma once

#include "protocol/Lcmd.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace trm::sim {

enum class Identity { Run, Update };

// How the unit is attached: called from the unit's own thread, never with the unit's
// lock held.
class UnitPort {
public:
    virtual ~UnitPort() = default;
    virtual void attach(std::uint16_t productId) = 0; // appear on the bus
    virtual void detach() = 0;                        // vanish from the bus
    virtual void sendInput(const Bytes& report) = 0;  // report ID 0 + 64 data bytes
};

enum class Fault {
    None,
    WrongSum, // a boot-loader reply echoing a wrong sum
    DropOff,  // vanish from the bus on receiving the request, and stay away
    Silent,   // never answer the request (nor any after it)
};

// Boot-loader steps by the updater's step number.
namespace step {
inline constexpr int Connect = 2, SyncPackage = 3, FirmwareVersion = 4, DeviceId = 5,
                     ReadConfig = 6, SyncProgram = 7, StartProgram = 8, ProgramData = 9,
                     McuReset = 10;
}

// The boot-loader step a request is for, from its first byte and the previous request's
// (0x81 follows Read Config as Sync Program, else it is Sync Package); 0 for none.
int BootStepOf(std::uint8_t code, std::uint8_t previousCode);

struct UnitScenario {
    std::uint8_t unitType = 0x19;
    // Long identity reply: model at 0..5, version 0104 at 8..11, variant P at 12.
    std::string identityText = "TRM415 V0104P 20210630";
    bool startInUpdate = false;
    int restartMs = 300;            // from a reset request to the other identity appearing
    bool silentApplication = false; // the application answers nothing
    int lateMs = 0;                 // added to every reply
    // Boot loader: reply this long after the step's delay. The host takes a reply only
    // once its own timer has opened the receive gate, so the margin has to cover how
    // late a busy GUI thread may run that timer; a reply that comes sooner is lost and
    // the exchange stalls, as it would with a real unit.
    int replyMarginMs = 10;
    // Boot loader: when above 0, reply this long before the step's delay has passed
    // instead (the margin is not added): the host must keep such a reply until its
    // timer opens the receive gate.
    int earlyMs = 0;
    // Other HID devices on the same bus, of other vendors and products (keyboards,
    // mice, a security key), listed before and after the unit; they must be ignored.
    int otherDevices = 0;
    // The unit is never plugged in (the others are).
    bool absent = false;
    // The unit's node cannot be opened by this user (EACCES), as without the udev rule.
    bool accessDenied = false;
    // Play this recording back instead of simulating the unit (sim/Replay.h); strict:
    // a report written that differs from the recording ends the replay.
    std::string replayFile;
    bool replayStrict = true;
    // The USB port the unit is plugged into, and its HID serial (none by default).
    std::string usbPort = "1-1";
    std::string serial;

    Fault bootFault = Fault::None;
    int bootFaultStep = step::Connect; // which step
    int bootFaultPacket = 1;           // for ProgramData: the n-th data packet (from 1)

    Fault dspFault = Fault::None; // DropOff or Silent
    int dspFaultBlock = 1;        // on receiving the n-th DspWriteBlock (from 1)

    std::uint16_t outputReportLength = 65; // as the descriptor states, report ID included
    // Added to every boot-loader reply's packet number: absurd numbers on request.
    std::uint32_t packetNumberBias = 0;
};

class SimUnit {
public:
    explicit SimUnit(UnitScenario scenario = {});
    ~SimUnit();
    SimUnit(const SimUnit&) = delete;
    SimUnit& operator=(const SimUnit&) = delete;

    // Attaches the unit through `port` in its starting identity. The port must outlive
    // the unit or a later setPort().
    void start(UnitPort* port);
    // Brings a unit that dropped off back in `identity`; faults that fired stay off.
    void replug(Identity identity);
    // Takes the unit off the bus now, as pulling the cable would.
    void unplug();
    // Clears the flash and the DSP program memory (a soak test verifies each update
    // afresh); the boot loader's view of the host's image position is kept.
    void wipe();
    // Changes the scenario; applies to requests from now on.
    void setScenario(const UnitScenario& scenario);

    // One output report from the host, report ID in byte 0. Any thread.
    void onOutputReport(const std::uint8_t* report, std::size_t length);

    struct State {
        bool present = false;
        Identity identity = Identity::Run;
        Bytes firmware;      // flash bytes 0 .. declared length - 1
        Bytes dspProgram;    // bytes of the DSP blocks taken, 32 per block
        int dspBlocks = 0;   // DspWriteBlock commands taken
        int dataPackets = 0; // program-data packets taken in the last exchange
        int updateDone = 0, rejectUnit = 0, keepAlive = 0, iapReset = 0, mcuReset = 0;
        int restarts = 0;
        std::vector<std::uint8_t> commands; // run-mode command codes received, in order
        // For each DspWriteBlock after the first: microseconds from the unit handing over
        // its acknowledgement of the previous block to this block arriving.
        std::vector<double> dspGapsUs;
        // For each boot-loader request after the first of an exchange: microseconds
        // from the previous request's arrival to this one's, less the reply delay of
        // the previous step. Never below zero for a host that keeps the pacing.
        std::vector<double> bootSlackUs;
    };
    State state() const;

    // Whether the unit holds `firmware` as its flash image (the declared length and
    // every byte) and `dsp` as its signal-processor program (the blocks cover the
    // whole image, the bytes past it are zero).
    bool holds(const Bytes& firmware, const Bytes& dsp) const;

private:
    void schedule(int delayMs, std::function<void()> fn);
    void schedulerMain();
    void handleRun(const std::uint8_t* data, std::size_t n);
    void handleBoot(const std::uint8_t* data, std::size_t n);
    void replyFrame(std::uint8_t command, const Bytes& payload, int delayMs);
    void sendLater(int delayMs, Bytes report, bool dspAck);
    void sendNow(std::function<void()> send);
    void restartInto(Identity identity);
    void vanish();

    mutable std::mutex m_;
    UnitScenario scenario_;
    UnitPort* port_ = nullptr;
    bool present_ = false;
    bool gone_ = false;   // dropped off by a fault; only replug() brings it back
    bool silent_ = false; // went silent by a fault
    Identity identity_ = Identity::Run;
    std::uint64_t epoch_ = 0; // bumped at each attach/detach; stale replies are dropped
    // While a report from the host is handled: replies due at once wait here, and the
    // writer's own thread sends them as its write ends, as a unit's answer comes with no
    // thread of ours in between.
    bool inWrite_ = false;
    std::vector<std::function<void()>> dueNow_;

    // Application memory.
    Bytes dsp_ = Bytes(65536, 0);
    std::optional<std::chrono::steady_clock::time_point> lastAckSent_;
    std::vector<double> dspGapsUs_;
    int dspBlocks_ = 0, dspMaxBlock_ = -1;
    State counters_;

    // Boot loader.
    Bytes flash_ = Bytes(0x11000, 0xFF);
    std::uint32_t declaredLength_ = 0;
    std::uint32_t written_ = 0; // bytes stored since Start Program
    std::uint32_t hostPos_ = 0; // the host's image position as the unit can infer it
    bool lengthKnown_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastBootRequest_;
    int lastBootDelayMs_ = 0;
    std::vector<double> bootSlackUs_;
    std::uint8_t lastCode_ = 0xFF;
    int dataPackets_ = 0;

    // Scheduler.
    struct Task {
        std::chrono::steady_clock::time_point due;
        std::uint64_t seq;
        std::function<void()> fn;
    };
    std::mutex qm_;
    std::condition_variable qcv_;
    std::vector<Task> tasks_;
    std::uint64_t seq_ = 0;
    bool running_ = false; // the scheduler is running a task it took
    bool quit_ = false;
    std::thread scheduler_;
};

} // namespace trm::sim
