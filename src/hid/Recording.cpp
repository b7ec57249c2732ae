// Recording a session with a unit as JSON lines.
#include "hid/Recording.h"

#include "hid/PortBound.h"
#include "hid/UnitIdentity.h"

#include <QJsonDocument>
#include <QString>

#include <algorithm>
#include <cctype>
#include <set>

namespace trm {

std::string ToHex(const std::uint8_t* data, std::size_t length) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data),
                                   static_cast<qsizetype>(length))
        .toHex()
        .toStdString();
}

bool FromHex(const std::string& hex, std::vector<std::uint8_t>& out) {
    out.clear();
    // Qt's decoder skips what is not a digit; a recording with such text is refused.
    if (hex.size() % 2 != 0 || !std::all_of(hex.begin(), hex.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    const QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(hex));
    out.assign(bytes.begin(), bytes.end());
    return true;
}

namespace {

QString hexText(const std::uint8_t* data, std::size_t length) {
    return QString::fromStdString(ToHex(data, length));
}

// Passes reads and writes through, recording each.
class RecordingConnection : public HidConnection {
public:
    RecordingConnection(std::unique_ptr<HidConnection> inner,
                        std::shared_ptr<SessionRecorder> recorder, std::string device)
        : inner_(std::move(inner)), recorder_(std::move(recorder)),
          device_(QString::fromStdString(device)) {}

    bool write(const std::uint8_t* data, std::size_t length, int& error) override {
        // Written down before it goes out, so its reply can never be recorded first.
        recorder_->line("write", {{"device", device_}, {"bytes", hexText(data, length)}});
        const bool ok = inner_->write(data, length, error);
        if (!ok) {
            recorder_->line("write-error", {{"device", device_}, {"error", error}});
        }
        return ok;
    }
    ReadResult read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) override {
        const ReadResult r = inner_->read(buffer, capacity, timeoutMs);
        if (r.status == ReadStatus::Report && r.length > 0) {
            recorder_->line(
                "read",
                {{"device", device_},
                 {"bytes", hexText(buffer, std::min<std::size_t>(
                                               capacity, static_cast<std::size_t>(r.length)))}});
        }
        return r;
    }
    void wake() override { inner_->wake(); }

private:
    std::unique_ptr<HidConnection> inner_;
    std::shared_ptr<SessionRecorder> recorder_;
    QString device_;
};

} // namespace

SessionRecorder::SessionRecorder(const std::string& path, QJsonObject header)
    : start_(std::chrono::steady_clock::now()) {
    file_ = std::fopen(path.c_str(), "we");
    if (file_ == nullptr) {
        return;
    }
    header.insert("format", "trm415-session");
    header.insert("version", QString("%1.%2").arg(kRecordingMajor).arg(kRecordingMinor));
    line("header", header);
}

SessionRecorder::~SessionRecorder() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void SessionRecorder::line(const char* type, QJsonObject fields) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    std::lock_guard lock(m_);
    if (file_ == nullptr) {
        return;
    }
    fields.insert("type", QString::fromLatin1(type));
    if (std::string_view(type) != "header") {
        fields.insert("t", static_cast<qint64>(us));
    }
    const QByteArray text = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

void SessionRecorder::end(QJsonObject fields) {
    line("end", std::move(fields));
}

RecordingBackend::RecordingBackend(std::unique_ptr<HidBackend> inner,
                                   std::shared_ptr<SessionRecorder> recorder)
    : inner_(std::move(inner)), recorder_(std::move(recorder)) {}

std::vector<HidDeviceInfo> RecordingBackend::enumerate() {
    std::vector<HidDeviceInfo> list = inner_->enumerate();
    std::set<std::string> now;
    for (const HidDeviceInfo& d : list) {
        if (!IsUnitIdentity(d.attributes)) {
            continue;
        }
        now.insert(d.instanceId);
        if (present_.count(d.instanceId) != 0) {
            continue;
        }
        present_[d.instanceId] = d;
        recorder_->line("arrival",
                        {{"device", QString::fromStdString(d.instanceId)},
                         {"node", QString::fromStdString(d.path)},
                         {"identity", IsRunIdentity(d.attributes) ? "run" : "update"},
                         {"vendor", d.attributes.VendorID},
                         {"product", d.attributes.ProductID},
                         {"version", d.attributes.VersionNumber},
                         {"descriptor", hexText(d.descriptor.data(), d.descriptor.size())},
                         {"usage_page", d.caps.UsagePage},
                         {"usage", d.caps.Usage},
                         {"input", d.caps.InputReportByteLength},
                         {"output", d.caps.OutputReportByteLength},
                         {"numbered", d.numberedReports},
                         {"port", QString::fromStdString(UsbPortOf(d.instanceId))},
                         {"serial", QString::fromStdString(d.serial)}});
    }
    for (auto it = present_.begin(); it != present_.end();) {
        if (now.count(it->first) == 0) {
            recorder_->line("removal", {{"device", QString::fromStdString(it->first)}});
            it = present_.erase(it);
        } else {
            ++it;
        }
    }
    return list;
}

std::unique_ptr<HidConnection> RecordingBackend::open(const HidDeviceInfo& device, int& error) {
    std::unique_ptr<HidConnection> c = inner_->open(device, error);
    if (!c || !IsUnitIdentity(device.attributes)) {
        return c;
    }
    return std::make_unique<RecordingConnection>(std::move(c), recorder_, device.instanceId);
}

void RecordingBackend::setChangeHandler(std::function<void()> handler) {
    inner_->setChangeHandler(std::move(handler));
}

} // namespace trm
