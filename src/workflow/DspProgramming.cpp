// Signal-processor programming: the program laid into the image buffer and sent in
// 32-byte blocks, one per acknowledgement.
#include "app/Isp.h"
#include "firmware/data/BuiltinImages.h"

namespace trm {

void TfmIsp::bnDspPorgramClick() {
    if (device == nullptr) {
        return;
    }
    if (!OpenLinkSession({.openGate = true, .waitTimeout = 10000})) {
        return; // the unopened session stays in `link`
    }
    link->SetKeepAliveSuppressed(true);
    SendCommand(CM_QZR_CMD(kUnitAddress, cmd::GetUnitType), FrameMode::Framed);
    mode = 1;
    SetStepLabel("Dsp Program");
    Enable(tmDspProgram);
    SetStatusColour(true);
    bnMcuProgram->setEnabled(false);
    bnDspPorgram->setEnabled(false);
}

void TfmIsp::SendDspBlock(std::int32_t block) {
    SendCommand(CM_QZR_DSP_BYTE_PROG(block, imageBuffer.data()), FrameMode::Framed);
}

void TfmIsp::tmDspProgramTimer() {
    tmDspProgram->stop();
    SetStatusColour(true);
    BuildDspImage(data::DspImage(imageSel), ImageBuffer(imageBuffer), imageLength);
    DumpImageBuffer();
    dspBlock = 0;
    dspTransfer = true;
    SendDspBlock(0);
    // At most 65536 / 32 blocks: block dspLastBlock ends within the image buffer.
    dspLastBlock = imageLength / 32;
    SetProgressMax(dspLastBlock);
    SetProgress(0);
}

void TfmIsp::HandleDspReply(const LCmd& reply) {
    // An acknowledgement before block 0 has gone out (the unit's answer to nothing)
    // must not end a transfer that has not begun with " Program OK !! ".
    if (reply.command != cmd::DspWriteBlock || !dspTransfer) {
        return;
    }
    SetStepLabel(QStringLiteral("Dsp Progrmming %1").arg(dspBlock));
    SetProgress(dspBlock);
    if (dspBlock < dspLastBlock) {
        ++dspBlock;
        SendDspBlock(dspBlock);
    } else {
        dspTransfer = false;
        SetProgress(0);
        SetStatusColour(false);
        SetPanelText(0, kDisconnect);
        Enable(tmRunStep);
    }
}

} // namespace trm
