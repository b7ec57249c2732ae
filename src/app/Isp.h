// The main window TfmIsp: its controls, timers and status bar, the HID controller's
// event handlers, the link session's owner side, and the update workflow's state.
// The workflow's operations live with their subsystems: workflow/ (identity gate,
// update flow, signal-processor download) and firmware/BootLoader.cpp.
#pragma once

#include "firmware/ImageLoader.h"
#include "hid/HidController.h"
#include "link/LinkMessages.h"
#include "link/Lusb.h"
#include "protocol/Lcmd.h"

#include <QLabel>
#include <QLoggingCategory>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QAction;

namespace trm {
Q_DECLARE_LOGGING_CATEGORY(lcWorkflow)
Q_DECLARE_LOGGING_CATEGORY(lcFirmware)
} // namespace trm
class QMenuBar;

namespace trm {

class TfmHidData;
class TfmProgData;

// Panel 1 texts: the record of the unit's identity.
inline const QString kNoDevice = QStringLiteral("No Device");
inline const QString kDetectRunHid = QStringLiteral("Detect Run HID");
inline const QString kDetectUpdateHid = QStringLiteral("Detect Update HID");
inline const QString kDisconnect = QStringLiteral("Disconnect");
inline const QString kProgramOk = QStringLiteral(" Program OK !! ");
inline const QString kWindowTitle = QStringLiteral("Update TRM 415 V1.04 DezOdeziDorOzo");
inline const QString kMessageTitle = QStringLiteral("Update TRM 415");

enum class MessageKind { Error, Information, Plain };

class TfmIsp : public QMainWindow, public LinkOwner {
    Q_OBJECT
public:
    explicit TfmIsp(std::unique_ptr<HidBackend> backend, QWidget* parent = nullptr);
    ~TfmIsp() override;

    // The diagnostic windows this window logs to and dumps into.
    void AttachDiagnostics(TfmHidData* hidData, TfmProgData* progData);

    // Every operator message goes through here: a modal box with one OK button, or
    // the stand-in when one is set (tests, the headless runner).
    void ShowMessage(MessageKind kind, const QString& text);
    std::function<void(MessageKind, const QString&)> operatorStandIn;

    // LinkOwner.
    QObject* linkWindow() override { return this; }
    void WriteReport(const std::uint8_t* data, int length) override;

    // ---- controls, in creation order
    QLabel* lbHidShow;
    QPushButton* btnVersion;
    QProgressBar* pbProgress;
    QStatusBar* sbStatus;
    QPushButton* bnMcuProgram;
    QPushButton* bnDspPorgram;
    QPushButton* btnStartProgram;
    QMenuBar* MainMenu1;
    QAction* Memory1;
    QAction* HidData1;
    THidDeviceController* HidCtl;
    QTimer* tmUsbWait;
    QTimer* tmWaitDisconnect;
    QTimer* tmDspProgram;
    QTimer* tmMcuProg;
    QTimer* tmRunStep;
    QTimer* tmWrongDisconnect;
    QTimer* tmAutoUpdate;

    // ---- status bar
    QString PanelText(int panel) const;
    void SetPanelText(int panel, const QString& text);
    void SetStatusColour(bool programming);
    bool StatusRed() const { return statusRed_; }
    QString StepLabel() const { return stepLabel_; }
    void SetStepLabel(const QString& text);
    void SetProgressMax(int max);
    void SetProgress(int position);

    // ---- workflow state
    THidDevice* device = nullptr;
    LinkPtr link;
    std::int32_t mode = 0;
    std::int32_t stage = 0;
    std::int32_t refused = 0;
    std::int32_t imageSel = 0;
    std::int32_t mcuBusy = 0;
    std::uint8_t rxGate = 0;
    std::array<std::uint8_t, kImageBufferSize> imageBuffer{};
    std::int32_t imageLength = 0;
    std::int32_t imagePos = 0;
    std::int32_t ispPacketNo = 0;
    std::int32_t ispProgress = 0;
    std::uint32_t expectedSum = 0;
    std::int32_t dspBlock = 0;
    std::int32_t dspLastBlock = 0;
    // True from block 0's sending until the last block's acknowledgement: only then
    // does a 0x53 reply acknowledge a block.
    bool dspTransfer = false;

    // ---- window (app/Isp.cpp)
    void FormCreate();
    void FormClose();
    void SendCommand(const LCmd& cmd, FrameMode mode);
    void Memory1Click();
    void HidData1Click();

    // ---- HID handlers (app/Isp.cpp)
    void HidCtlDeviceChange();
    bool HidCtlEnumerate(THidDevice* device, int index);
    void HidCtlDeviceData(THidDevice* device, std::uint8_t reportId, const std::uint8_t* data,
                          int size);
    void HidCtlDeviceDataError(THidDevice* device, int error);
    void HidCtlDeviceUnplug(THidDevice* device);
    void HidCtlDeviceAccessDenied(const HidDeviceInfo& info);

    // ---- identity gate (workflow/IdentityGate.cpp)
    void ShowNoDevice();
    void CloseLink();
    void btnVersionClick();
    void HandleResponse(const LinkMessage& message);
    void Refuse(const QString& text);
    void tmWrongDisconnectTimer();

    // ---- update flow (workflow/UpdateFlow.cpp)
    void btnStartProgramClick();
    void bnMcuProgramClick();
    void tmAutoUpdateTimer();
    void tmRunStepTimer();
    void RunIdentityFound();

    // ---- signal-processor programming (workflow/DspProgramming.cpp)
    void bnDspPorgramClick();
    void tmDspProgramTimer();
    void HandleDspReply(const LCmd& reply);
    void SendDspBlock(std::int32_t block);

    // ---- boot-loader programming (firmware/BootLoader.cpp)
    void tmMcuProgTimer();
    void OpenIspSession();
    void SendIspStep();
    void tmUsbWaitTimer();
    void HandleIspReply(const LCmd& reply);
    void tmWaitDisconnectTimer();

    TfmHidData* HidDataWindow() const { return hidData_; }
    TfmProgData* ProgDataWindow() const { return progData_; }

Q_SIGNALS:
    // For observers (the headless runner, tests): what the operator would see.
    void panelChanged(int panel, const QString& text);
    void progressChanged(int position, int maximum);
    void stepLabelChanged(const QString& text);
    void statusColourChanged(bool programming);
    void messageShown(int kind, const QString& text);
    void commandSent(int command);
    // The identity query's replies as the gate reads them.
    void unitTypeReply(int unitType);
    void identityReply(const QString& text);

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void createControls();
    void createTimers();
    QTimer* makeTimer(const char* name, int interval, void (TfmIsp::*handler)());
    // Starts `timer` unless it is running.
    static void Enable(QTimer* timer);
    void DumpImageBuffer();
    // How a piece of work opens its link session.
    struct LinkOpening {
        bool reuseExisting = false;  // keep a session that exists (whether it opened or not)
        bool openGate = false;       // open the receive gate once the session runs
        int waitTimeout = 0;         // the worker's wait time-out; 0 keeps the default
        bool closeOnFailure = false; // CloseLink when it cannot open; else it stays in
                                     // `link` and drops every request
    };
    // Makes and opens a new link session in `link`. Returns whether a running session
    // is there now.
    bool OpenLinkSession(const LinkOpening& how);
    void addTrafficLine(const QString& line);
    // Hands one input report (`held` data bytes) to the link, as the data handler does
    // with the receive gate open.
    void TakeReport(std::uint8_t reportId, const std::uint8_t* data, int held);
    // Takes the boot-loader reply kept while the gate was closed, if any; discards it
    // when the gate is not open in a boot-loader step.
    void TakeEarlyReply();
    void DiscardEarlyReply() { earlyReply_.reset(); }

    struct EarlyReply {
        std::uint8_t reportId;
        Bytes data;
    };
    // The first input report that arrived after a boot-loader packet was sent and
    // before tmUsbWait opened the gate.
    std::optional<EarlyReply> earlyReply_;

    QLabel* panels_[2] = {nullptr, nullptr};
    QString stepLabel_;
    bool statusRed_ = false;
    TfmHidData* hidData_ = nullptr;
    TfmProgData* progData_ = nullptr;
    // The device the link's worker writes to; set and cleared with `device` on the
    // GUI thread. The worker is always stopped (CloseLink) before the device it
    // points to is checked in.
    std::atomic<THidDevice*> reportTarget_{nullptr};
};

extern TfmIsp* fmIsp;

} // namespace trm
