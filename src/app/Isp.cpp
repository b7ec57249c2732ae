// The main window: construction, status bar, message dispatch, the HID controller's
// event handlers and WriteReport.
#include "app/Isp.h"

#include "core/PostToThread.h"
#include "diag/DumpText.h"
#include "diag/Fhiddata.h"
#include "diag/Fprogdata.h"
#include "diag/WindowFrame.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <cstring>
#include <vector>

namespace trm {

TfmIsp* fmIsp = nullptr;

namespace {

// The window is 420 × 173 on the desktop. The progress bar spans the client area, which
// holds the controls, the progress bar (17) and the status bar (19).
constexpr int kClientWidth = 420 - kFrameWidth;
constexpr int kClientHeight = 173 - kFrameHeight;
constexpr int kStatusHeight = 19;
constexpr int kProgressHeight = 17;
// A report of the unit: report ID and 64 data bytes.
constexpr int kDefaultReportLength = 65;

QFont sansSerif(int pixels) {
    QFont f("MS Sans Serif");
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    return f;
}

QString hexLine(const char* prefix, std::uint8_t reportId, const std::uint8_t* bytes, int count) {
    const std::string s =
        TrafficLine(prefix, reportId, bytes, static_cast<std::size_t>(std::max(count, 0)));
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

TfmIsp::TfmIsp(std::unique_ptr<HidBackend> backend, QWidget* parent) : QMainWindow(parent) {
    setObjectName("fmIsp");
    setWindowTitle(kWindowTitle);
    setFont(sansSerif(11));
    createControls();
    HidCtl = new THidDeviceController(std::move(backend), this);
    HidCtl->setObjectName("HidCtl");
    HidCtl->OnDeviceChange = [this] { HidCtlDeviceChange(); };
    HidCtl->OnEnumerate = [this](THidDevice* d, int i) { return HidCtlEnumerate(d, i); };
    HidCtl->OnDeviceData = [this](THidDevice* d, std::uint8_t id, const std::uint8_t* p, int n) {
        HidCtlDeviceData(d, id, p, n);
    };
    HidCtl->OnDeviceDataError = [this](THidDevice* d, int e) { HidCtlDeviceDataError(d, e); };
    HidCtl->OnDeviceUnplug = [this](THidDevice* d) { HidCtlDeviceUnplug(d); };
    HidCtl->OnDeviceAccessDenied = [this](const HidDeviceInfo& i) { HidCtlDeviceAccessDenied(i); };
    // The system's device-change broadcast reaches the window too; it ends here.
    HidCtl->OnSystemDeviceChange = [this] {
        if (device == nullptr) {
            ShowNoDevice();
        }
    };
    createTimers();
    resize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }
    FormCreate();
}

TfmIsp::~TfmIsp() {
    // Close the link first, then let the controller report a claimed unit unplugged
    // while every control it touches still exists.
    CloseLink();
    delete HidCtl;
    HidCtl = nullptr;
}

void TfmIsp::createControls() {
    auto* client = new QWidget(this);
    setCentralWidget(client);

    lbHidShow = new QLabel("Device Update", client);
    lbHidShow->setObjectName("lbHidShow");
    lbHidShow->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbHidShow->setFont(sansSerif(16));
    lbHidShow->setGeometry(96, 16, 201, 20);

    auto button = [client](const char* name, const char* text, QRect r, bool enabled) {
        auto* b = new QPushButton(text, client);
        b->setObjectName(name);
        b->setFont(sansSerif(13));
        b->setGeometry(r);
        b->setEnabled(enabled);
        return b;
    };
    btnVersion = button("btnVersion", "Version", {176, 52, 80, 25}, true);
    connect(btnVersion, &QPushButton::clicked, this, [this] { btnVersionClick(); });

    pbProgress = new QProgressBar(client);
    pbProgress->setObjectName("pbProgress");
    pbProgress->setRange(0, 100);
    pbProgress->setValue(0);
    pbProgress->setTextVisible(false);
    pbProgress->setGeometry(0, 98, kClientWidth, kProgressHeight);

    sbStatus = new QStatusBar(this);
    sbStatus->setObjectName("sbStatus");
    sbStatus->setSizeGripEnabled(false);
    sbStatus->setFixedHeight(kStatusHeight);
    sbStatus->setAutoFillBackground(true);
    for (int i = 0; i < 2; ++i) {
        panels_[i] = new QLabel(sbStatus);
        panels_[i]->setObjectName(QString("sbStatusPanel%1").arg(i));
        panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    }
    panels_[0]->setFixedWidth(180);
    panels_[0]->setText(kDisconnect);
    panels_[1]->setText("No Devce"); // as designed; FormCreate writes "No Device"
    sbStatus->addWidget(panels_[0]);
    sbStatus->addWidget(panels_[1], 1); // the last panel takes the rest of the width
    setStatusBar(sbStatus);
    SetStatusColour(false);
    // A message (another program holds the unit) takes the bar's whole width while shown.
    connect(sbStatus, &QStatusBar::messageChanged, this, [this](const QString& message) {
        for (QLabel* panel : panels_) {
            panel->setVisible(message.isEmpty());
        }
    });

    bnMcuProgram = button("bnMcuProgram", "Mcu Prog", {240, 52, 80, 25}, false);
    connect(bnMcuProgram, &QPushButton::clicked, this, [this] { bnMcuProgramClick(); });
    bnDspPorgram = button("bnDspPorgram", "Dsp Prog", {160, 52, 80, 25}, false);
    connect(bnDspPorgram, &QPushButton::clicked, this, [this] { bnDspPorgramClick(); });
    // Created last, so it covers the row of small buttons: the operator's only button.
    btnStartProgram = button("btnStartProgram", "Start Program ", {80, 48, 241, 30}, false);
    connect(btnStartProgram, &QPushButton::clicked, this, [this] { btnStartProgramClick(); });

    MainMenu1 = menuBar();
    MainMenu1->setObjectName("MainMenu1");
    Memory1 = MainMenu1->addAction("Memory");
    Memory1->setObjectName("Memory1");
    Memory1->setVisible(false);
    connect(Memory1, &QAction::triggered, this, [this] { Memory1Click(); });
    HidData1 = MainMenu1->addAction("HidData");
    HidData1->setObjectName("HidData1");
    HidData1->setVisible(false);
    connect(HidData1, &QAction::triggered, this, [this] { HidData1Click(); });
    // Both items are hidden and nothing shows them: the bar takes no room.
    MainMenu1->setVisible(false);
}

void TfmIsp::Enable(QTimer* timer) {
    // Enabling a timer that runs already changes nothing: its count goes on.
    if (!timer->isActive()) {
        timer->start();
    }
}

QTimer* TfmIsp::makeTimer(const char* name, int interval, void (TfmIsp::*handler)()) {
    auto* t = new QTimer(this);
    t->setObjectName(name);
    t->setTimerType(Qt::PreciseTimer);
    t->setInterval(interval);
    connect(t, &QTimer::timeout, this, handler);
    return t;
}

void TfmIsp::createTimers() {
    tmUsbWait = makeTimer("tmUsbWait", 100, &TfmIsp::tmUsbWaitTimer);
    tmWaitDisconnect = makeTimer("tmWaitDisconnect", 500, &TfmIsp::tmWaitDisconnectTimer);
    tmDspProgram = makeTimer("tmDspProgram", 100, &TfmIsp::tmDspProgramTimer);
    tmMcuProg = makeTimer("tmMcuProg", 100, &TfmIsp::tmMcuProgTimer);
    tmRunStep = makeTimer("tmRunStep", 100, &TfmIsp::tmRunStepTimer);
    tmWrongDisconnect = makeTimer("tmWrongDisconnect", 500, &TfmIsp::tmWrongDisconnectTimer);
    tmAutoUpdate = makeTimer("tmAutoUpdate", 3000, &TfmIsp::tmAutoUpdateTimer);
}

void TfmIsp::AttachDiagnostics(TfmHidData* hidData, TfmProgData* progData) {
    hidData_ = hidData;
    progData_ = progData;
}

void TfmIsp::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    // The progress bar is aligned to the bottom of the client area, full width.
    if (QWidget* client = centralWidget()) {
        pbProgress->setGeometry(0, client->height() - kProgressHeight, client->width(),
                                kProgressHeight);
    }
}

// ---------------------------------------------------------------- status bar

QString TfmIsp::PanelText(int panel) const {
    return panels_[panel]->text();
}

void TfmIsp::SetPanelText(int panel, const QString& text) {
    if (panels_[panel]->text() != text) {
        if (panel == 1) {
            sbStatus->clearMessage(); // a unit taken, or gone: the panels say it again
        }
        panels_[panel]->setText(text);
        Q_EMIT panelChanged(panel, text);
    }
}

void TfmIsp::SetStatusColour(bool programming) {
    QPalette p = sbStatus->palette();
    p.setColor(QPalette::Window,
               programming ? QColor(255, 0, 0) : palette().color(QPalette::Button));
    sbStatus->setPalette(p);
    if (statusRed_ != programming) {
        statusRed_ = programming;
        Q_EMIT statusColourChanged(programming);
    }
}

void TfmIsp::SetStepLabel(const QString& text) {
    // Held, never displayed: the status bar stays in panel mode.
    if (stepLabel_ != text) {
        stepLabel_ = text;
        Q_EMIT stepLabelChanged(text);
    }
}

void TfmIsp::SetProgressMax(int max) {
    if (pbProgress->maximum() != max) {
        pbProgress->setMaximum(max);
        Q_EMIT progressChanged(pbProgress->value(), pbProgress->maximum());
    }
}

void TfmIsp::SetProgress(int position) {
    const int before = pbProgress->value();
    pbProgress->setValue(position); // outside the range: ignored, as the bar does
    if (pbProgress->value() != before) {
        Q_EMIT progressChanged(pbProgress->value(), pbProgress->maximum());
    }
}

// ---------------------------------------------------------------- window

void TfmIsp::ShowMessage(MessageKind kind, const QString& text) {
    Q_EMIT messageShown(static_cast<int>(kind), text);
    if (operatorStandIn) {
        operatorStandIn(kind, text);
        return;
    }
    QMessageBox box(this);
    box.setWindowTitle(kMessageTitle);
    box.setIcon(kind == MessageKind::Error         ? QMessageBox::Critical
                : kind == MessageKind::Information ? QMessageBox::Information
                                                   : QMessageBox::NoIcon);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

bool TfmIsp::event(QEvent* e) {
    if (static_cast<int>(e->type()) == WM_LINK_REPLY) {
        HandleResponse(*static_cast<LinkMessage*>(e));
    }
    // 1361 and 1359, and 1360 after its handling, go on to the default handling.
    return QMainWindow::event(e);
}

void TfmIsp::closeEvent(QCloseEvent* e) {
    FormClose();
    // The diagnostic windows close with this one, so a visible one cannot keep the
    // program running.
    if (hidData_ != nullptr) {
        hidData_->close();
    }
    QMainWindow::closeEvent(e);
}

void TfmIsp::FormCreate() {
    ShowNoDevice();
    mcuBusy = 0;
    stage = 0;
}

void TfmIsp::FormClose() {
    CloseLink();
}

void TfmIsp::SendCommand(const LCmd& cmd, FrameMode frameMode) {
    if (!link) {
        return;
    }
    link->SendFrame(EncodeCommand(cmd, frameMode), true);
    Q_EMIT commandSent(frameMode == FrameMode::Framed ? cmd.command : -1);
}

void TfmIsp::Memory1Click() {
    if (progData_ != nullptr) {
        progData_->exec();
    }
}

void TfmIsp::HidData1Click() {
    if (hidData_ != nullptr) {
        hidData_->move(x() + frameGeometry().width() + 10, y());
        hidData_->show();
    }
}

void TfmIsp::DumpImageBuffer() {
    if (progData_ != nullptr) {
        progData_->DumpImage(imageBuffer.data(), static_cast<std::size_t>(std::max(imageLength, 0)),
                             0);
    }
}

void TfmIsp::addTrafficLine(const QString& line) {
    if (hidData_ != nullptr && hidData_->isVisible()) {
        hidData_->AddLine(line);
    }
}

// ---------------------------------------------------------------- HID handlers

void TfmIsp::HidCtlDeviceChange() {
    HidCtl->Enumerate();
}

bool TfmIsp::HidCtlEnumerate(THidDevice* d, int index) {
    THidDevice* claimed = nullptr;
    if (IsUpdateIdentity(d->Attributes())) {
        if (HidCtl->CheckOutByIndex(claimed, index)) {
            device = claimed;
            reportTarget_ = claimed;
            SetPanelText(1, kDetectUpdateHid);
            bnDspPorgram->setEnabled(false);
            btnStartProgram->setEnabled(mcuBusy == 0);
        }
    } else if (IsRunIdentity(d->Attributes())) {
        if (HidCtl->CheckOutByIndex(claimed, index)) {
            device = claimed;
            reportTarget_ = claimed;
            SetPanelText(1, kDetectRunHid);
            RunIdentityFound();
        }
    }
    return true;
}

void TfmIsp::HidCtlDeviceData(THidDevice* d, std::uint8_t reportId, const std::uint8_t* data,
                              int size) {
    // The reader's buffer holds the device's whole input report, zero-filled past what
    // was read; never hand on more than it holds.
    int held = d != nullptr ? d->GetCaps().InputReportByteLength - 1 : 0;
    if (held <= 0) {
        held = 64;
    }
    held = std::clamp(std::max(held, size), 0, 1024);
    if (rxGate == 0) {
        // A boot loader may answer before tmUsbWait has opened the gate, when this
        // thread runs the timer late. The first report after the packet is kept and
        // taken when the gate opens, as it would have been taken then; later ones are
        // dropped as before.
        if (mode >= 2 && mode <= 9 && link && tmUsbWait->isActive() && !earlyReply_) {
            earlyReply_ = EarlyReply{reportId, Bytes(data, data + held)};
        }
        return;
    }
    TakeReport(reportId, data, held);
}

void TfmIsp::TakeReport(std::uint8_t reportId, const std::uint8_t* data, int held) {
    if (mode >= 2) {
        rxGate = 0; // one report per opening of the gate in the boot-loader steps
    }
    if (!link) {
        return; // nothing to hand it to
    }
    const int count = ReportHandOnCount(data, held);
    std::uint8_t buffer[1024];
    std::memcpy(buffer, data, static_cast<std::size_t>(count));
    link->Receive(buffer, count);
    if (hidData_ != nullptr && hidData_->isVisible()) {
        addTrafficLine(hexLine("R ", reportId, buffer, count));
    }
}

void TfmIsp::TakeEarlyReply() {
    std::optional<EarlyReply> kept;
    kept.swap(earlyReply_);
    if (kept && rxGate != 0 && mode >= 2 && mode <= 9) {
        TakeReport(kept->reportId, kept->data.data(), static_cast<int>(kept->data.size()));
    }
}

void TfmIsp::HidCtlDeviceDataError(THidDevice*, int error) {
    ShowMessage(MessageKind::Information,
                QStringLiteral("READ ERROR: ") + QString::fromLocal8Bit(std::strerror(error)));
}

void TfmIsp::HidCtlDeviceUnplug(THidDevice* d) {
    if (!IsRunIdentity(d->Attributes()) && !IsUpdateIdentity(d->Attributes())) {
        return;
    }
    if (device != nullptr && d != device) {
        return; // another unit went; the claimed one carries on
    }
    device = nullptr;
    reportTarget_ = nullptr;
    // The link's worker may be writing to this device: stop it before the device is
    // checked in (and so destroyed).
    CloseLink();
    // After MCU Reset the unit dropping off closes the link instead of the 500 ms
    // timer; left running, the timer would close the next session, the one a unit
    // quick to come back has already opened for its signal-processor program.
    tmWaitDisconnect->stop();
    if (d->CheckedOut()) {
        THidDevice* x = d;
        HidCtl->CheckIn(x);
    }
    SetPanelText(1, kNoDevice);
    bnDspPorgram->setEnabled(false);
    btnStartProgram->setEnabled(false);
}

void TfmIsp::HidCtlDeviceAccessDenied(const HidDeviceInfo& info) {
    const QString path = QString::fromStdString(info.path);
    if (!info.heldBy.empty()) {
        // Another program is updating it: said in the status bar, and the unit is taken
        // once that program lets it go.
        sbStatus->showMessage(QStringLiteral("Unit being updated by %1: left alone")
                                  .arg(QString::fromStdString(info.heldBy)));
        return;
    }
    ShowMessage(MessageKind::Information,
                QStringLiteral("The unit at %1 cannot be opened for reading and writing (%2).\n"
                               "Install the trm415 udev rule or join the plugdev group, "
                               "then unplug the unit and plug it in again.")
                    .arg(path, QString::fromLocal8Bit(std::strerror(info.accessError))));
}

void TfmIsp::WriteReport(const std::uint8_t* data, int length) {
    // Link worker thread. The report is the report ID 0 and the data, zero beyond the
    // data, written at the device's output report length.
    THidDevice* target = reportTarget_.load();
    length = std::clamp(length, 0, 1023);
    // The traffic line is handed to the GUI thread before the write, so it is listed
    // ahead of the reply that the write brings back.
    if (hidData_ != nullptr && hidData_->Logging()) {
        const QString line = hexLine("W ", 0, data, length);
        PostToThread(this, [this, line] { addTrafficLine(line); });
    }
    if (target != nullptr) {
        int outputLength = target->GetCaps().OutputReportByteLength;
        if (outputLength <= 0) {
            outputLength = kDefaultReportLength; // report ID and 64 data bytes
        }
        std::vector<std::uint8_t> report(
            static_cast<std::size_t>(std::max(outputLength, length + 1)), 0);
        std::memcpy(report.data() + 1, data, static_cast<std::size_t>(length));
        std::uint32_t written = 0;
        target->WriteFile(report.data(), static_cast<std::uint32_t>(outputLength), written);
    }
}

} // namespace trm
