// Replaying a recorded session as a unit.
#include "sim/Replay.h"

#include "hid/Recording.h"
#include "hid/UnitIdentity.h"
#include "protocol/Lcmd.h"
#include "sim/SimHidBus.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <pthread.h>
#include <set>

namespace trm::sim {
namespace {

constexpr std::size_t kMaxReport = 4096;
constexpr std::size_t kMaxDescriptor = 4096;

std::string text(const QJsonObject& o, const char* key) {
    return o.value(key).toString().toStdString();
}

// An integer field within [low, high], or nothing.
std::optional<std::int64_t> integer(const QJsonObject& o, const char* key, std::int64_t low,
                                    std::int64_t high) {
    const QJsonValue v = o.value(key);
    if (!v.isDouble()) {
        return std::nullopt;
    }
    const double d = v.toDouble();
    if (!(d >= static_cast<double>(low) && d <= static_cast<double>(high)) || std::floor(d) != d) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
}

std::string hexOf(const Bytes& b) {
    return ToHex(b.data(), b.size());
}

} // namespace

std::optional<std::string> ParseRecording(std::string_view all, Recording& out) {
    out = Recording{};
    std::map<std::string, RecordedDevice> present;
    std::set<std::string> seen;
    bool header = false;
    std::int64_t lastT = 0;
    std::size_t pos = 0;
    int lineNo = 0;
    while (pos < all.size()) {
        const std::size_t nl = all.find('\n', pos);
        const bool lastWithoutNewline = nl == std::string_view::npos;
        const std::string_view raw =
            all.substr(pos, lastWithoutNewline ? std::string_view::npos : nl - pos);
        pos = lastWithoutNewline ? all.size() : nl + 1;
        ++lineNo;
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (raw.find_first_not_of(" \t\r") == std::string_view::npos) {
            continue;
        }
        QJsonParseError e{};
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray(raw.data(), static_cast<qsizetype>(raw.size())), &e);
        if (e.error != QJsonParseError::NoError || !doc.isObject()) {
            if (lastWithoutNewline && header) {
                out.cutOff = true; // where a killed session stopped writing
                break;
            }
            return where + "not a JSON object" +
                   (header ? "" : " (this is not a TRM415 session recording)");
        }
        const QJsonObject o = doc.object();
        const std::string type = text(o, "type");
        if (!header) {
            if (type != "header" || text(o, "format") != "trm415-session") {
                return where + "not a TRM415 session recording (no header line)";
            }
            const std::string version = text(o, "version");
            int major = 0, minor = 0;
            char rest = 0;
            if (std::sscanf(version.c_str(), "%d.%d%c", &major, &minor, &rest) != 2 || major < 1 ||
                minor < 0) {
                return where + "the version '" + version + "' is not MAJOR.MINOR";
            }
            if (major > kRecordingMajor) {
                return where + "the recording's format " + version +
                       " is newer than this program reads (" + std::to_string(kRecordingMajor) +
                       ".x); replay it with a newer trm415-run";
            }
            out.major = major;
            out.minor = minor;
            out.program = text(o, "program");
            out.startUtc = text(o, "start_utc");
            const QJsonObject images = o.value("images").toObject();
            for (auto it = images.begin(); it != images.end(); ++it) {
                out.images[it.key().toStdString()] = it.value().toString().toStdString();
            }
            header = true;
            continue;
        }
        if (type == "end") {
            out.complete = true;
            break;
        }
        const bool known = type == "arrival" || type == "removal" || type == "write" ||
                           type == "read" || type == "write-error";
        if (!known) {
            continue; // a later minor version's line
        }
        const auto t = integer(o, "t", 0, std::int64_t{1} << 50);
        if (!t) {
            return where + "'t' is not a time in microseconds";
        }
        if (*t < lastT) {
            return where + "the time goes backwards";
        }
        lastT = *t;
        const std::string device = text(o, "device");
        if (device.empty()) {
            return where + "no device";
        }
        RecordedEvent ev;
        ev.tUs = *t;
        ev.line = lineNo;
        ev.device = device;
        if (type == "arrival") {
            if (present.count(device) != 0) {
                return where + "device " + device + " arrives twice";
            }
            RecordedDevice d;
            d.id = device;
            d.node = text(o, "node");
            d.port = text(o, "port");
            d.serial = text(o, "serial");
            const auto vendor = integer(o, "vendor", 0, 0xFFFF);
            const auto product = integer(o, "product", 0, 0xFFFF);
            const auto version = integer(o, "version", 0, 0xFFFF);
            const auto input = integer(o, "input", 1, kMaxReport);
            const auto output = integer(o, "output", 1, kMaxReport);
            if (!vendor || !product || !version || !input || !output) {
                return where + "the arrival lacks vendor, product, version, input or output "
                               "(or one is out of range)";
            }
            d.attributes = {static_cast<std::uint16_t>(*vendor),
                            static_cast<std::uint16_t>(*product),
                            static_cast<std::uint16_t>(*version)};
            d.caps.InputReportByteLength = static_cast<std::uint16_t>(*input);
            d.caps.OutputReportByteLength = static_cast<std::uint16_t>(*output);
            d.caps.UsagePage =
                static_cast<std::uint16_t>(integer(o, "usage_page", 0, 0xFFFF).value_or(0));
            d.caps.Usage = static_cast<std::uint16_t>(integer(o, "usage", 0, 0xFFFF).value_or(0));
            d.numbered = o.value("numbered").toBool(false);
            if (!FromHex(text(o, "descriptor"), d.descriptor) ||
                d.descriptor.size() > kMaxDescriptor) {
                return where + "the descriptor is not hexadecimal (or longer than 4096 bytes)";
            }
            if (!IsUnitIdentity(d.attributes)) {
                return where + "device " + device + " is not a TRM415 identity";
            }
            present[device] = d;
            ev.kind = RecordedEvent::Kind::Arrival;
            ev.arrival = std::move(d);
        } else if (present.count(device) == 0) {
            return where + "device " + device +
                   " is used before its arrival (or after its removal)";
        } else if (type == "removal") {
            present.erase(device);
            ev.kind = RecordedEvent::Kind::Removal;
        } else if (type == "write-error") {
            // The unit never received that write: it is not a report to expect.
            for (auto it = out.events.rbegin(); it != out.events.rend(); ++it) {
                if (it->kind == RecordedEvent::Kind::Write && it->device == device) {
                    out.events.erase(std::next(it).base());
                    break;
                }
            }
            continue;
        } else {
            const bool write = type == "write";
            if (!FromHex(text(o, "bytes"), ev.bytes) || ev.bytes.empty()) {
                return where + "the bytes are not hexadecimal";
            }
            const RecordedDevice& d = present[device];
            const std::size_t limit =
                write ? d.caps.OutputReportByteLength : d.caps.InputReportByteLength;
            if (ev.bytes.size() > limit) {
                return where + (write ? "a report written" : "a reply") + " of " +
                       std::to_string(ev.bytes.size()) + " bytes is longer than the device's " +
                       (write ? "output" : "input") + " reports (" + std::to_string(limit) + ")";
            }
            ev.kind = write ? RecordedEvent::Kind::Write : RecordedEvent::Kind::Read;
        }
        out.events.push_back(std::move(ev));
    }
    if (!header) {
        return std::string("not a TRM415 session recording (it is empty)");
    }
    return std::nullopt;
}

std::optional<std::string> LoadRecording(const std::string& path, Recording& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        return "cannot read '" + path + "'";
    }
    const std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (auto bad = ParseRecording(all, out)) {
        return path + ": " + *bad;
    }
    return std::nullopt;
}

// ------------------------------------------------------------ the in-process bus

std::string SimReplayBus::add(const RecordedDevice& d, Sink sink) {
    HIDP_CAPS caps = d.caps;
    return bus_.add(d.attributes, caps, std::move(sink), d.port, d.serial);
}

void SimReplayBus::remove(const std::string& id) {
    bus_.remove(id);
}

void SimReplayBus::deliver(const std::string& id, const Bytes& report) {
    bus_.deliver(id, report);
}

// ------------------------------------------------------------ differences

std::string ReplayDifference::text() const {
    std::string s = "report " + std::to_string(write) + " written";
    if (line == 0) {
        return s + " after the end of the recording: " + hexOf(written);
    }
    s += " (line " + std::to_string(line) + " of the recording, at " +
         std::to_string(tUs / 1000000) + "." +
         [this] {
             std::string us = std::to_string(tUs % 1000000);
             return std::string(6 - us.size(), '0') + us;
         }() +
         " s)";
    if (writtenDevice != device) {
        s += " went to another device than recorded";
    } else {
        s += " differs at byte " + std::to_string(offset);
    }
    return s + ": expected " + hexOf(expected) + ", written " + hexOf(written);
}

// ------------------------------------------------------------ the replayed unit

std::shared_ptr<ReplayUnit> ReplayUnit::Create(Recording recording, ReplayBus& bus,
                                               const UnitScenario& scenario) {
    return std::shared_ptr<ReplayUnit>(new ReplayUnit(std::move(recording), bus, scenario));
}

ReplayUnit::ReplayUnit(Recording recording, ReplayBus& bus, const UnitScenario& scenario)
    : recording_(std::move(recording)), bus_(bus), scenario_(scenario) {
    for (const RecordedEvent& e : recording_.events) {
        totalWrites_ += e.kind == RecordedEvent::Kind::Write ? 1 : 0;
    }
    scheduler_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "trm-sim-replay"); // as ps and perf show it
        schedulerMain();
    });
}

ReplayUnit::~ReplayUnit() {
    {
        std::lock_guard lock(m_);
        quit_ = true;
    }
    cv_.notify_all();
    scheduler_.join();
}

void ReplayUnit::setDifferenceHandler(std::function<void(const ReplayDifference&)> handler) {
    std::lock_guard lock(m_);
    onDifference_ = std::move(handler);
}

void ReplayUnit::start() {
    std::lock_guard lock(m_);
    anchorAt_ = Clock::now();
    anchorUs_ = 0;
    scheduleUntilWrite();
}

void ReplayUnit::unplug() {
    std::unique_lock lock(m_);
    silenced_ = true;
    queue_.clear();
    bool done = false;
    push(Clock::now(), [this, &done] {
        for (const auto& [recorded, id] : busIds_) {
            bus_.remove(id);
        }
        busIds_.clear();
        std::lock_guard relock(m_);
        done = true;
        cv_.notify_all();
    });
    cv_.wait(lock, [&] { return done || quit_; });
}

std::vector<ReplayDifference> ReplayUnit::differences() const {
    std::lock_guard lock(m_);
    return differences_;
}

int ReplayUnit::writesLeft() const {
    std::lock_guard lock(m_);
    return totalWrites_ - consumed_;
}

int ReplayUnit::writesMatched() const {
    std::lock_guard lock(m_);
    return matched_;
}

bool ReplayUnit::silenced() const {
    std::lock_guard lock(m_);
    return silenced_;
}

void ReplayUnit::push(Clock::time_point due, std::function<void()> run) {
    queue_.push_back({due, std::move(run)});
    cv_.notify_all();
}

void ReplayUnit::removeAt(Clock::time_point due, const std::string& recordedDevice) {
    push(due, [this, recordedDevice] {
        const auto it = busIds_.find(recordedDevice);
        if (it != busIds_.end()) {
            bus_.remove(it->second);
            busIds_.erase(it);
        }
    });
}

void ReplayUnit::scheduleUntilWrite() {
    const auto& events = recording_.events;
    while (cursor_ < events.size() && events[cursor_].kind != RecordedEvent::Kind::Write) {
        const RecordedEvent& e = events[cursor_++];
        auto delay = std::chrono::microseconds(e.tUs - anchorUs_);
        const std::weak_ptr<ReplayUnit> self = weak_from_this();
        switch (e.kind) {
        case RecordedEvent::Kind::Arrival: {
            updateIdentity_[e.device] = IsUpdateIdentity(e.arrival.attributes);
            const RecordedDevice d = e.arrival;
            push(anchorAt_ + delay, [this, d, self] {
                const std::string recorded = d.id;
                const std::string id =
                    bus_.add(d, [self, recorded](const std::uint8_t* r, std::size_t n) {
                        if (auto unit = self.lock()) {
                            unit->onWrite(recorded, r, n);
                        }
                    });
                busIds_[d.id] = id;
            });
            break;
        }
        case RecordedEvent::Kind::Removal:
            removeAt(anchorAt_ + delay, e.device);
            break;
        case RecordedEvent::Kind::Read: {
            delay += std::chrono::milliseconds(scenario_.lateMs);
            if (updateIdentity_[e.device]) {
                delay -= std::chrono::milliseconds(scenario_.earlyMs);
            }
            Bytes report = e.bytes;
            if (!wrongSumDevice_.empty() && wrongSumDevice_ == e.device && report.size() >= 5) {
                // The echoed sum, bytes 1..4 after the report ID, one off; nothing after it
                // is answered.
                WriteLe32(report.data() + 1, ReadLe32(report.data() + 1) + 1);
                wrongSumDevice_.clear();
                silenced_ = true;
                cursor_ = events.size();
            }
            push(std::max(anchorAt_, anchorAt_ + delay),
                 [this, device = e.device, report = std::move(report)] {
                     const auto it = busIds_.find(device);
                     if (it != busIds_.end()) {
                         bus_.deliver(it->second, report);
                     }
                 });
            break;
        }
        case RecordedEvent::Kind::Write:
            break;
        }
    }
}

// The scenario's faults, at the place this write is for. Caller holds m_. Returns true
// when the session ends here (dropped off or silent).
bool ReplayUnit::faultAt(const std::string& recordedDevice, const std::uint8_t* r, std::size_t n) {
    if (n < 2) {
        return false;
    }
    if (updateIdentity_[recordedDevice]) {
        const int st = BootStepOf(r[1], lastBootCode_);
        lastBootCode_ = r[1];
        if (st == step::StartProgram) {
            dataPackets_ = 0;
        } else if (st == step::ProgramData) {
            ++dataPackets_;
        }
        const bool here = scenario_.bootFault != Fault::None && st == scenario_.bootFaultStep &&
                          (st != step::ProgramData || dataPackets_ == scenario_.bootFaultPacket);
        if (!here) {
            return false;
        }
        const Fault f = scenario_.bootFault;
        scenario_.bootFault = Fault::None;
        if (f == Fault::WrongSum) {
            wrongSumDevice_ = recordedDevice;
            return false;
        }
        if (f == Fault::DropOff) {
            queue_.clear();
            removeAt(Clock::now(), recordedDevice);
        }
        return true;
    }
    const std::size_t length = n > 5 ? std::size_t{r[5]} + 8 : 0;
    if (n < 10 || r[1] != 0x10 || r[2] != 0x02 || length == 8 || length > n - 1) {
        return false;
    }
    const LCmd cmd(std::span<const std::uint8_t>(r + 1, length));
    if (cmd.command != cmd::DspWriteBlock) {
        return false;
    }
    ++dspBlocks_;
    if (scenario_.dspFault == Fault::None || dspBlocks_ != scenario_.dspFaultBlock) {
        return false;
    }
    const Fault f = scenario_.dspFault;
    scenario_.dspFault = Fault::None;
    if (f == Fault::DropOff) {
        queue_.clear();
        removeAt(Clock::now(), recordedDevice);
    }
    return true;
}

void ReplayUnit::onWrite(const std::string& recordedDevice, const std::uint8_t* r, std::size_t n) {
    std::function<void(const ReplayDifference&)> report;
    ReplayDifference difference;
    {
        std::lock_guard lock(m_);
        if (silenced_) {
            return;
        }
        ++writes_;
        const auto now = Clock::now();
        // What the recording had the unit do before this write has been done by now.
        for (Action& a : queue_) {
            a.due = std::min(a.due, now);
        }
        cv_.notify_all();
        const Bytes written(r, r + n);
        const auto& events = recording_.events;
        const bool pastEnd = cursor_ >= events.size();
        if (pastEnd && !recording_.complete) {
            return; // a recording cut off: from its end on, a silent unit
        }
        const RecordedEvent* e = pastEnd ? nullptr : &events[cursor_];
        if (e == nullptr || e->device != recordedDevice || e->bytes != written) {
            difference.write = writes_;
            difference.written = written;
            difference.writtenDevice = recordedDevice;
            if (e != nullptr) {
                difference.line = e->line;
                difference.tUs = e->tUs;
                difference.expected = e->bytes;
                difference.device = e->device;
                const auto m =
                    std::mismatch(e->bytes.begin(), e->bytes.end(), written.begin(), written.end());
                difference.offset = static_cast<std::size_t>(m.first - e->bytes.begin());
            }
            differences_.push_back(difference);
            report = onDifference_;
            if (scenario_.replayStrict) {
                silenced_ = true; // the session has left the recording
                queue_.clear();
            }
        } else {
            ++matched_;
        }
        if (!silenced_ && e != nullptr) {
            ++consumed_; // as recorded, or passed over by a loose replay
        }
        if (silenced_ || e == nullptr) {
            // nothing more to play
        } else if (faultAt(recordedDevice, r, n)) {
            silenced_ = true;
        } else {
            ++cursor_;
            anchorUs_ = e->tUs;
            anchorAt_ = now;
            scheduleUntilWrite();
        }
    }
    if (report) {
        report(difference);
    }
}

void ReplayUnit::schedulerMain() {
    std::unique_lock lock(m_);
    while (!quit_) {
        if (queue_.empty()) {
            cv_.wait(lock);
            continue;
        }
        // In recorded order: an action never runs before the one recorded ahead of it.
        const auto due = queue_.front().due;
        if (Clock::now() < due) {
            cv_.wait_until(lock, due);
            continue;
        }
        std::function<void()> run = std::move(queue_.front().run);
        queue_.pop_front();
        lock.unlock();
        run(); // the bus is called without the lock: a writer may be waiting for it
        lock.lock();
    }
}

} // namespace trm::sim
