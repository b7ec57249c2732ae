// The simulated unit's application firmware and boot loader.
#include "sim/SimUnit.h"

#include "hid/UnitIdentity.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <pthread.h>

namespace trm::sim {

namespace {
constexpr int kVanishDelayMs = 20; // from a reset request to leaving the bus
} // namespace

SimUnit::SimUnit(UnitScenario scenario) : scenario_(std::move(scenario)) {
    scheduler_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "trm-sim-unit"); // as ps and perf show it
        schedulerMain();
    });
}

SimUnit::~SimUnit() {
    {
        std::lock_guard lock(qm_);
        quit_ = true;
    }
    qcv_.notify_all();
    scheduler_.join();
}

void SimUnit::start(UnitPort* port) {
    std::uint16_t product;
    {
        std::lock_guard lock(m_);
        port_ = port;
        identity_ = scenario_.startInUpdate ? Identity::Update : Identity::Run;
        present_ = true;
        gone_ = false;
        ++epoch_;
        product = identity_ == Identity::Run ? kRunProductId : kUpdateProductId;
    }
    port->attach(product);
}

void SimUnit::replug(Identity identity) {
    UnitPort* port;
    {
        std::lock_guard lock(m_);
        gone_ = false;
        silent_ = false;
        present_ = true;
        identity_ = identity;
        ++epoch_;
        port = port_;
    }
    port->attach(identity == Identity::Run ? kRunProductId : kUpdateProductId);
}

void SimUnit::unplug() {
    UnitPort* port;
    {
        std::lock_guard lock(m_);
        gone_ = true;
        present_ = false;
        ++epoch_;
        port = port_;
    }
    if (port != nullptr) { // never started: nothing to take off
        port->detach();
    }
}

void SimUnit::wipe() {
    std::lock_guard lock(m_);
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    std::fill(dsp_.begin(), dsp_.end(), 0);
    dspMaxBlock_ = -1;
    dspBlocks_ = 0;
    counters_ = State{};
    bootSlackUs_.clear();
}

void SimUnit::setScenario(const UnitScenario& scenario) {
    std::lock_guard lock(m_);
    scenario_ = scenario;
}

void SimUnit::onOutputReport(const std::uint8_t* report, std::size_t length) {
    if (length < 2) {
        return;
    }
    std::vector<std::function<void()>> replies;
    {
        std::lock_guard lock(m_);
        if (!present_ || gone_) {
            return;
        }
        inWrite_ = true;
        if (identity_ == Identity::Run) {
            handleRun(report + 1, length - 1);
        } else {
            handleBoot(report + 1, length - 1);
        }
        inWrite_ = false;
        replies.swap(dueNow_);
    }
    for (auto& send : replies) {
        sendNow(std::move(send));
    }
}

// ------------------------------------------------------------ application

void SimUnit::handleRun(const std::uint8_t* d, std::size_t n) {
    if (n < 9 || d[0] != 0x10 || d[1] != 0x02) {
        return;
    }
    const std::size_t frameLength = std::size_t{d[4]} + 8;
    if (d[4] == 0 || frameLength > n) {
        return;
    }
    const LCmd cmd(std::span<const std::uint8_t>(d, frameLength));
    counters_.commands.push_back(cmd.command);
    const bool mute = silent_ || scenario_.silentApplication;
    switch (cmd.command) {
    case cmd::GetUnitType:
        if (!mute) {
            replyFrame(cmd::GetUnitType, Bytes{scenario_.unitType}, 0);
        }
        break;
    case cmd::GetVersion:
        if (!mute) {
            Bytes text(scenario_.identityText.begin(), scenario_.identityText.end());
            text.resize(std::min<std::size_t>(text.size(), 55));
            replyFrame(cmd::GetVersion, text, 0);
        }
        break;
    case cmd::IapReset:
        ++counters_.iapReset;
        restartInto(Identity::Update);
        break;
    case cmd::DspWriteBlock: {
        if (lastAckSent_) {
            dspGapsUs_.push_back(std::chrono::duration<double, std::micro>(
                                     std::chrono::steady_clock::now() - *lastAckSent_)
                                     .count());
            lastAckSent_.reset();
        }
        ++dspBlocks_;
        if (scenario_.dspFault != Fault::None && dspBlocks_ == scenario_.dspFaultBlock) {
            const Fault f = scenario_.dspFault;
            scenario_.dspFault = Fault::None;
            if (f == Fault::DropOff) {
                vanish();
                return;
            }
            silent_ = true;
            return;
        }
        if (mute || cmd.payload.size() < 34) {
            return;
        }
        const std::size_t index = std::size_t{cmd.payload[0]} << 8 | cmd.payload[1];
        if (index * 32 + 32 <= dsp_.size()) {
            std::copy(cmd.payload.begin() + 2, cmd.payload.begin() + 34,
                      dsp_.begin() + static_cast<std::ptrdiff_t>(index * 32));
            dspMaxBlock_ = std::max(dspMaxBlock_, static_cast<int>(index));
        }
        replyFrame(cmd::DspWriteBlock, {}, 0);
        break;
    }
    case cmd::KeepAlive:
        ++counters_.keepAlive;
        if (!mute) {
            replyFrame(cmd::KeepAlive, {}, 0);
        }
        break;
    case cmd::RejectUnit:
        ++counters_.rejectUnit;
        break;
    case cmd::UpdateDone:
        // Answered like any command, so the link goes idle and its keep-alive runs.
        ++counters_.updateDone;
        if (!mute) {
            replyFrame(cmd::UpdateDone, {}, 0);
        }
        break;
    default:
        break;
    }
}

void SimUnit::replyFrame(std::uint8_t command, const Bytes& payload, int delayMs) {
    const Bytes frame = EncodeLinkFrame(kUnitAddress, kProgramAddress, command, payload);
    Bytes report(65, 0);
    std::copy(frame.begin(),
              frame.begin() +
                  std::min<std::ptrdiff_t>(64, static_cast<std::ptrdiff_t>(frame.size())),
              report.begin() + 1);
    sendLater(delayMs + scenario_.lateMs, std::move(report), command == cmd::DspWriteBlock);
}

// Sends `report` after `delayMs`, unless the unit has left or restarted meanwhile; one
// due at once in answer to a write goes out as that write ends. Caller holds m_.
void SimUnit::sendLater(int delayMs, Bytes report, bool dspAck) {
    const std::uint64_t epoch = epoch_;
    auto send = [this, report = std::move(report), epoch, dspAck] {
        UnitPort* port;
        {
            std::lock_guard lock(m_);
            if (epoch != epoch_ || !present_) {
                return;
            }
            port = port_;
            if (dspAck) {
                lastAckSent_ = std::chrono::steady_clock::now();
            }
        }
        port->sendInput(report);
    };
    if (delayMs <= 0 && inWrite_) {
        dueNow_.push_back(std::move(send));
    } else {
        schedule(delayMs, std::move(send));
    }
}

// Runs `send` at once, unless the scheduler holds (or is running) a task due by now,
// which must go first: then `send` queues behind it.
void SimUnit::sendNow(std::function<void()> send) {
    {
        std::unique_lock lock(qm_);
        const auto now = std::chrono::steady_clock::now();
        const bool earlier = running_ || std::any_of(tasks_.begin(), tasks_.end(),
                                                     [&](const Task& t) { return t.due <= now; });
        if (earlier) {
            tasks_.push_back({now, seq_++, std::move(send)});
            lock.unlock();
            qcv_.notify_all();
            return;
        }
    }
    send();
}

// ------------------------------------------------------------ boot loader

int BootStepOf(std::uint8_t code, std::uint8_t previousCode) {
    switch (code) {
    case 0x80:
        return step::Connect;
    case 0x81:
        return previousCode == 0x84 ? step::SyncProgram : step::SyncPackage;
    case 0x82:
        return step::FirmwareVersion;
    case 0x83:
        return step::DeviceId;
    case 0x84:
        return step::ReadConfig;
    case 0x85:
        return step::StartProgram;
    case 0x00:
        return step::ProgramData;
    case 0x86:
        return step::McuReset;
    default:
        return 0;
    }
}

void SimUnit::handleBoot(const std::uint8_t* d, std::size_t n) {
    std::uint8_t packet[64] = {};
    std::memcpy(packet, d, std::min<std::size_t>(n, 64));
    std::uint32_t sum = 0;
    for (std::uint8_t b : packet) {
        sum += b;
    }
    const std::uint8_t code = packet[0];
    const int st = BootStepOf(code, lastCode_);
    lastCode_ = code;
    if (st == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (lastBootRequest_ && st != step::Connect) {
        bootSlackUs_.push_back(
            std::chrono::duration<double, std::micro>(now - *lastBootRequest_).count() -
            1000.0 * lastBootDelayMs_);
    }
    lastBootRequest_ = now;
    lastBootDelayMs_ = 0;

    const bool faultHere =
        scenario_.bootFault != Fault::None && st == scenario_.bootFaultStep &&
        (st != step::ProgramData || dataPackets_ + 1 == scenario_.bootFaultPacket);
    if (faultHere) {
        const Fault f = scenario_.bootFault;
        scenario_.bootFault = Fault::None;
        if (f == Fault::DropOff) {
            vanish();
            return;
        }
        if (f == Fault::Silent) {
            silent_ = true;
            return;
        }
        sum += 1; // WrongSum: processed as usual, answered with a wrong echo
    }
    if (silent_) {
        return;
    }

    const std::uint32_t packetNo = st <= step::SyncProgram ? packet[4] : ReadLe32(packet + 4);
    const std::int64_t length = lengthKnown_ ? std::int64_t{declaredLength_} : INT_MAX;
    switch (st) {
    case step::StartProgram: {
        declaredLength_ = ReadLe32(packet + 12);
        lengthKnown_ = true;
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        const std::uint32_t k = std::min<std::uint32_t>(48, declaredLength_);
        std::copy(packet + 16, packet + 16 + k, flash_.begin());
        written_ = k;
        hostPos_ = 48;
        dataPackets_ = 0;
        break;
    }
    case step::ProgramData: {
        ++dataPackets_;
        const std::uint32_t remaining = declaredLength_ > written_ ? declaredLength_ - written_ : 0;
        std::uint32_t k = std::min<std::uint32_t>(56, remaining);
        k = std::min<std::uint32_t>(
            k, static_cast<std::uint32_t>(flash_.size()) -
                   std::min<std::uint32_t>(written_, static_cast<std::uint32_t>(flash_.size())));
        std::copy(packet + 8, packet + 8 + k, flash_.begin() + written_);
        written_ += k;
        const std::int64_t pos = hostPos_;
        hostPos_ = static_cast<std::uint32_t>(
            pos < length - 56 ? pos + 56 : std::max<std::int64_t>(pos, length));
        break;
    }
    case step::McuReset:
        ++counters_.mcuReset;
        restartInto(Identity::Run);
        return;
    default:
        break;
    }

    // The reply is taken only after the step's delay, counted from the host arming its
    // timer just before this request reached us.
    int delay;
    if (st == step::StartProgram) {
        delay = 1000;
    } else {
        delay = std::int64_t{hostPos_} + 56 < length ? 20 : 200;
    }
    lastBootDelayMs_ = delay;
    Bytes report(65, 0);
    std::uint8_t* r = report.data() + 1;
    WriteLe32(r, sum);
    WriteLe32(r + 4, packetNo + 1 + scenario_.packetNumberBias);
    if (st == step::FirmwareVersion) {
        r[8] = 0x2C;
    } else if (st == step::DeviceId) {
        WriteLe32(r + 8, 0x00235100);
    } else if (st == step::ReadConfig) {
        WriteLe32(r + 8, 0xFFFFFF7F);
        WriteLe32(r + 12, 0x0001F000);
    }
    const int replyAt = scenario_.earlyMs > 0 ? std::max(0, delay - scenario_.earlyMs)
                                              : delay + scenario_.replyMarginMs;
    sendLater(replyAt + scenario_.lateMs, std::move(report), false);
}

// ------------------------------------------------------------ presence

void SimUnit::restartInto(Identity identity) {
    const std::uint64_t epoch = ++epoch_; // replies still pending are never sent
    const int restartMs = scenario_.restartMs;
    schedule(kVanishDelayMs, [this, epoch] {
        UnitPort* port;
        {
            std::lock_guard lock(m_);
            if (epoch != epoch_) {
                return;
            }
            present_ = false;
            port = port_;
        }
        port->detach();
    });
    schedule(std::max(restartMs, kVanishDelayMs + 1), [this, epoch, identity] {
        UnitPort* port;
        {
            std::lock_guard lock(m_);
            if (epoch != epoch_ || gone_) {
                return;
            }
            identity_ = identity;
            present_ = true;
            silent_ = false;
            ++counters_.restarts;
            port = port_;
        }
        port->attach(identity == Identity::Run ? kRunProductId : kUpdateProductId);
    });
}

void SimUnit::vanish() {
    gone_ = true;
    present_ = false;
    const std::uint64_t epoch = ++epoch_;
    schedule(0, [this, epoch] {
        UnitPort* port;
        {
            std::lock_guard lock(m_);
            if (epoch != epoch_) {
                return;
            }
            port = port_;
        }
        port->detach();
    });
}

// ------------------------------------------------------------ state

SimUnit::State SimUnit::state() const {
    std::lock_guard lock(m_);
    State s = counters_;
    s.present = present_;
    s.identity = identity_;
    if (lengthKnown_) {
        const std::size_t len = std::min<std::size_t>(declaredLength_, flash_.size());
        s.firmware.assign(flash_.begin(), flash_.begin() + static_cast<std::ptrdiff_t>(len));
    }
    if (dspMaxBlock_ >= 0) {
        s.dspProgram.assign(dsp_.begin(), dsp_.begin() + (dspMaxBlock_ + 1) * 32);
    }
    s.dspBlocks = dspBlocks_;
    s.dspGapsUs = dspGapsUs_;
    s.bootSlackUs = bootSlackUs_;
    s.dataPackets = dataPackets_;
    return s;
}

bool SimUnit::holds(const Bytes& firmware, const Bytes& dsp) const {
    const State s = state();
    if (s.firmware != firmware) {
        return false;
    }
    // The host sends blocks 0 .. length/32; the last is padded with zeros.
    const std::size_t blocks = dsp.size() / 32 + 1;
    if (s.dspProgram.size() != blocks * 32) {
        return false;
    }
    if (!std::equal(dsp.begin(), dsp.end(), s.dspProgram.begin())) {
        return false;
    }
    return std::all_of(s.dspProgram.begin() + static_cast<std::ptrdiff_t>(dsp.size()),
                       s.dspProgram.end(), [](std::uint8_t b) { return b == 0; });
}

// ------------------------------------------------------------ scheduler

void SimUnit::schedule(int delayMs, std::function<void()> fn) {
    {
        std::lock_guard lock(qm_);
        tasks_.push_back(
            {std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(delayMs, 0)),
             seq_++, std::move(fn)});
    }
    qcv_.notify_all();
}

void SimUnit::schedulerMain() {
    std::unique_lock lock(qm_);
    for (;;) {
        if (quit_) {
            return;
        }
        if (tasks_.empty()) {
            qcv_.wait(lock);
            continue;
        }
        auto next =
            std::min_element(tasks_.begin(), tasks_.end(), [](const Task& a, const Task& b) {
                return a.due != b.due ? a.due < b.due : a.seq < b.seq;
            });
        const auto due = next->due; // the list may grow while we wait
        if (due > std::chrono::steady_clock::now()) {
            qcv_.wait_until(lock, due);
            continue;
        }
        std::function<void()> fn = std::move(next->fn);
        tasks_.erase(next);
        running_ = true;
        lock.unlock();
        fn();
        lock.lock();
        running_ = false;
    }
}

} // namespace trm::sim
