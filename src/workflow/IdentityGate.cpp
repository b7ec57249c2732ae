// Identity query and model/version gate: the window's operations that ask a running
// unit who it is, and refuse or accept it.
#include "app/Isp.h"
#include "workflow/Gate.h"

#include <stdexcept>

namespace trm {

Q_LOGGING_CATEGORY(lcWorkflow, "trm415.workflow", QtWarningMsg)

void TfmIsp::ShowNoDevice() {
    if (device != nullptr) {
        return;
    }
    SetPanelText(1, kNoDevice);
    bnDspPorgram->setEnabled(false);
    bnMcuProgram->setEnabled(false);
}

void TfmIsp::CloseLink() {
    if (link) {
        link->Close();
        link.reset(); // destroyed now, or once its reply in progress has been handled
        rxGate = 0;
    }
    DiscardEarlyReply();
    mode = 0;
    SetStatusColour(false);
    SetPanelText(0, kDisconnect);
    SetProgress(0);
}

bool TfmIsp::OpenLinkSession(const LinkOpening& how) {
    if (how.reuseExisting && link) {
        return link->running();
    }
    link.reset(new LUsbProc(this));
    if (!link->Open()) {
        if (how.closeOnFailure) {
            CloseLink();
        }
        return false;
    }
    if (how.openGate) {
        rxGate = 1;
        DiscardEarlyReply(); // the gate opened for run-mode work
    }
    if (how.waitTimeout > 0) {
        link->SetWaitTimeout(how.waitTimeout);
    }
    return true;
}

void TfmIsp::btnVersionClick() {
    if (PanelText(1) != kDetectRunHid) {
        return;
    }
    OpenLinkSession({.reuseExisting = true, .openGate = true, .waitTimeout = 5000});
    link->SetKeepAliveSuppressed(true);
    SendCommand(CM_QZR_CMD(kUnitAddress, cmd::GetUnitType), FrameMode::Framed);
}

void TfmIsp::HandleResponse(const LinkMessage& message) {
    const Bytes* bytes = message.reply();
    if (bytes == nullptr) {
        return;
    }
    const LCmd reply(*bytes);
    qCDebug(lcWorkflow, "reply %02x (%zu payload bytes) in mode %d, stage %d", reply.command,
            reply.payload.size(), mode, stage);
    try {
        if (mode == 0) {
            tmAutoUpdate->stop();
            if (reply.command == cmd::GetUnitType) {
                Q_EMIT unitTypeReply(reply.payload[0]);
                if (reply.payload[0] == kAcceptedUnitType) {
                    SendCommand(CM_QZR_CMD(kUnitAddress, cmd::GetVersion), FrameMode::Framed);
                } else {
                    Refuse(QString::fromLatin1(kInvalidUnitType));
                }
            } else if (reply.command == cmd::GetVersion) {
                const Bytes& text = reply.payload.bytes();
                Q_EMIT identityReply(QString::fromLatin1(reinterpret_cast<const char*>(text.data()),
                                                         static_cast<qsizetype>(text.size())));
                const GateVerdict v = JudgeIdentity(reply.payload.bytes());
                if (!v.accepted) {
                    Refuse(QString::fromStdString(v.refusal));
                } else {
                    imageSel = v.imageSel;
                    refused = 0;
                    bnMcuProgram->setEnabled(true);
                    bnMcuProgramClick();
                }
            }
        } else if (mode == 1) {
            HandleDspReply(reply);
        } else if (mode >= 2 && mode <= 9) {
            HandleIspReply(reply);
        }
    } catch (const std::out_of_range& e) {
        // A reply too short for the field read (a GetUnitType reply without payload):
        // the handling of that reply ends here, and the operator is told.
        ShowMessage(MessageKind::Error, QString::fromLatin1(e.what()));
    }
}

void TfmIsp::Refuse(const QString& text) {
    qCDebug(lcWorkflow, "refused: %s", qPrintable(text));
    SendCommand(CM_QZR_CMD(kUnitAddress, cmd::RejectUnit), FrameMode::Framed);
    ShowMessage(MessageKind::Information, text);
    refused = 1;
    btnStartProgram->setEnabled(true);
    Enable(tmWrongDisconnect);
}

void TfmIsp::tmWrongDisconnectTimer() {
    tmWrongDisconnect->stop();
    CloseLink();
    mode = 0;
}

} // namespace trm
