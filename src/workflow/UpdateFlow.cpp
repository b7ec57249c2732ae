// The update flow: one click takes a unit through the gate, its boot loader, and the
// signal-processor download to " Program OK !! ".
#include "app/Isp.h"
#include "firmware/IspPacket.h"
#include "firmware/data/BuiltinImages.h"

namespace trm {

void TfmIsp::btnStartProgramClick() {
    btnStartProgram->setEnabled(false);
    Enable(tmAutoUpdate);
    btnVersionClick();
}

void TfmIsp::bnMcuProgramClick() {
    // The image is loaded and checked before anything is asked of the unit: an image
    // that cannot be loaded must not leave the unit restarted into its boot loader
    // with nothing to write.
    bool told = false;
    const bool loaded = LoadHexImage(
        data::McuImage(imageSel), ImageBuffer(imageBuffer), imageLength, kMcuUsableLength,
        [this, &told](std::string_view m) {
            told = true;
            ShowMessage(MessageKind::Plain,
                        QString::fromLatin1(m.data(), static_cast<qsizetype>(m.size())));
        });
    DumpImageBuffer();
    if (!loaded) {
        // Never send a partly loaded image: nothing is sent and the exchange is not
        // started.
        imageLength = 0;
        tmMcuProg->stop();
        mcuBusy = 0;
        if (!told) {
            ShowMessage(MessageKind::Error,
                        QStringLiteral("The built-in microcontroller image %1 cannot be loaded; "
                                       "nothing was sent to the unit.")
                            .arg(imageSel));
        }
        CloseLink();
        return;
    }
    if (PanelText(1) == kDetectRunHid) {
        OpenLinkSession({.reuseExisting = true, .openGate = true, .waitTimeout = 5000});
        link->SetKeepAliveSuppressed(true);
        SendCommand(CM_QZR_CMD(kUnitAddress, cmd::GetUnitType), FrameMode::Framed);
        SendCommand(CM_QZR_IAP_RESET(cmd::IapReset), FrameMode::Framed);
    }
    SetStatusColour(true);
    SetProgressMax(imageLength / kIspDataBytes + 1);
    bnMcuProgram->setEnabled(false);
    mcuBusy = 1;
    Enable(tmMcuProg);
    btnStartProgram->setEnabled(false);
}

void TfmIsp::tmAutoUpdateTimer() {
    tmAutoUpdate->stop();
    if (refused == 1) {
        btnStartProgram->setEnabled(true);
        return;
    }
    imageSel = 1;
    bnMcuProgramClick();
}

// The unit has been claimed in its run identity.
void TfmIsp::RunIdentityFound() {
    if (stage == 0) {
        btnStartProgram->setEnabled(true);
    } else if (stage == 3) {
        stage = 2;
        Enable(tmRunStep);
    }
}

void TfmIsp::tmRunStepTimer() {
    tmRunStep->stop();
    if (stage == 2) {
        bnDspPorgramClick();
        stage = 1;
    } else if (stage == 1) {
        SendCommand(CM_QZR_CMD(kUnitAddress, cmd::KeepAlive), FrameMode::Framed);
        if (link) {
            link->SetWaitTimeout(500);
            link->SetKeepAliveSuppressed(false);
        }
        stage = 0;
        mcuBusy = 0;
        ShowMessage(MessageKind::Information, kProgramOk);
        SendCommand(CM_QZR_CMD(kUnitAddress, cmd::UpdateDone), FrameMode::Framed);
    }
}

} // namespace trm
