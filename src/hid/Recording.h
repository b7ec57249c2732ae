// Recording a session with a unit: a backend that passes everything through to another
// one and writes, as JSON lines, each arrival and removal of a unit with the properties
// the controller uses, and each report written to it and read from it, with its time.
// Every line is flushed as it is written, so a session that crashes or is killed still
// leaves a readable recording up to that point.
//
// Format (version 1.0), one JSON object per line:
//   {"type":"header","format":"trm415-session","version":"1.0","program":...,
//    "start_utc":...,"images":{"McuImage0":SHA-256,...}}
//   {"type":"arrival","t":µs,"device":ID,"node":...,"identity":"run"|"update",
//    "vendor":N,"product":N,"version":N,"descriptor":HEX,"input":N,"output":N,
//    "numbered":BOOL,"port":...,"serial":...}
//   {"type":"removal","t":µs,"device":ID}
//   {"type":"write","t":µs,"device":ID,"bytes":HEX}   (report ID first)
//   {"type":"write-error","t":µs,"device":ID,"error":errno}  (that write failed)
//   {"type":"read","t":µs,"device":ID,"bytes":HEX}    (report ID first)
//   {"type":"end","t":µs,...}                          (the session ended whole)
// `t` is the time from the start in microseconds. Only the unit's devices are recorded,
// never the other HID devices of the machine.
#pragma once

#include "hid/HidBackend.h"

#include <QJsonObject>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace trm {

inline constexpr int kRecordingMajor = 1;
inline constexpr int kRecordingMinor = 0;

// Writes the lines of one recording; any thread.
class SessionRecorder {
public:
    // Opens `path` for writing and writes the header with `header`'s fields added.
    // Check ok() after.
    SessionRecorder(const std::string& path, QJsonObject header);
    ~SessionRecorder();
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    bool ok() const { return file_ != nullptr; }
    // Adds `t` and writes one line of `type`.
    void line(const char* type, QJsonObject fields);
    // The last line: the session ended whole (with what `fields` say of its outcome).
    void end(QJsonObject fields);

private:
    std::mutex m_;
    std::FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point start_;
};

// Records what passes through `inner`.
class RecordingBackend : public HidBackend {
public:
    RecordingBackend(std::unique_ptr<HidBackend> inner, std::shared_ptr<SessionRecorder> recorder);

    std::vector<HidDeviceInfo> enumerate() override;
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device, int& error) override;
    void setChangeHandler(std::function<void()> handler) override;

private:
    std::unique_ptr<HidBackend> inner_;
    std::shared_ptr<SessionRecorder> recorder_;
    std::map<std::string, HidDeviceInfo> present_; // recorded units, by instance id
};

// Bytes as lower-case hexadecimal, and back. FromHex fails on an odd length or a
// character that is not a hexadecimal digit.
std::string ToHex(const std::uint8_t* data, std::size_t length);
bool FromHex(const std::string& hex, std::vector<std::uint8_t>& out);

} // namespace trm
