// Boot-loader programming: the window's steps of the IspPacket exchange that writes
// the microcontroller firmware.
#include "app/Isp.h"
#include "firmware/IspPacket.h"

namespace trm {

Q_LOGGING_CATEGORY(lcFirmware, "trm415.firmware", QtWarningMsg)

void TfmIsp::tmMcuProgTimer() {
    if (PanelText(1) != kDetectUpdateHid) {
        return; // keep polling
    }
    tmMcuProg->stop();
    stage = 3;
    mode = 2;
    OpenIspSession();
    SetStatusColour(true);
}

void TfmIsp::OpenIspSession() {
    if (device == nullptr) {
        return;
    }
    // The gate stays closed (tmUsbWait opens it) and the wait time-out keeps 800 ms.
    if (!OpenLinkSession({.closeOnFailure = true})) {
        return;
    }
    link->SetKeepAliveSuppressed(true);
    SendIspStep();
}

void TfmIsp::SendIspStep() {
    const IspStep step = BuildIspStep({mode, ispPacketNo, ispProgress, imagePos},
                                      imageBuffer.data(), imageBuffer.size(), imageLength);
    SetStepLabel(QString::fromStdString(step.label));
    qCDebug(lcFirmware, "%s: packet %d, image at %d of %d", step.label.c_str(), ispPacketNo,
            imagePos, imageLength);
    if (step.label == "Start Program") {
        btnStartProgram->setEnabled(false);
    }
    if (step.progress) {
        SetProgress(ispProgress);
    }
    if (step.reset) {
        SetProgress(0);
        SetPanelText(1, kNoDevice);
        Enable(tmWaitDisconnect);
    }
    expectedSum = 0;
    SendCommand(
        CM_QZR_PROGRAM_DATA(step.packet.data(), static_cast<std::int32_t>(step.packet.size())),
        FrameMode::Raw);
    expectedSum = IspPacketSum(step.packet);
    if (link) {
        if (StepLabel() == "MCU Reset") {
            Enable(tmWaitDisconnect);
        } else {
            // A new interval restarts a running timer; the same one leaves its count.
            const int delay = IspReplyDelay(mode, imagePos, imageLength);
            if (tmUsbWait->interval() != delay) {
                tmUsbWait->setInterval(delay);
            }
            Enable(tmUsbWait);
        }
    }
}

void TfmIsp::tmUsbWaitTimer() {
    tmUsbWait->stop();
    rxGate = 1;
    // A reply that came while the gate was still closed is taken now, at the moment
    // it would have been taken had it come after this tick.
    TakeEarlyReply();
}

void TfmIsp::HandleIspReply(const LCmd& reply) {
    if (reply.value != expectedSum) {
        struct Failure {
            const char* text;
            bool closes;
        };
        static const Failure kFailures[] = {
            {"ISP Start Error !!", true},      // 2 Connect
            {"ISP Sync Error !!", true},       // 3 Sync Package
            {"Erase All Error !!", false},     // 4 Get Firmware Version
            {"Get ID Error !!", true},         // 5 Get Device ID
            {"Erase All Error !!", false},     // 6 Read Config
            {"Erase All Error !!", false},     // 7 Sync Program
            {"Program Start Error !!", false}, // 8 Start Program
            {"Program Data Error !!", false},  // 9 program data
        };
        const Failure& f = kFailures[mode - 2];
        qCDebug(lcFirmware, "mode %d: the reply echoes %08x, the packet's sum is %08x", mode,
                reply.value, expectedSum);
        if (f.closes) {
            CloseLink();
        }
        ShowMessage(MessageKind::Error, QString::fromLatin1(f.text));
        return;
    }
    if (mode == 9) {
        ispPacketNo = IspReplyPacketNumber(reply);
        mode = imagePos < imageLength ? 9 : 10;
    } else {
        ispPacketNo = reply.payload[0];
        ++mode;
    }
    SendIspStep();
}

void TfmIsp::tmWaitDisconnectTimer() {
    tmWaitDisconnect->stop();
    CloseLink();
}

} // namespace trm
