// The main window with the simulated unit: its look, the traffic lines, the gate's
// refusals, the fallback for a silent unit, the data handler's hand-on counts,
// WriteReport's report, and the real message box.
#include "support/Rig.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

using namespace trm;
using namespace trm::testing;

namespace {
QStringList trafficLines() {
    QStringList lines;
    for (int i = 0; i < fmHidData->hbHidData->count(); ++i) {
        lines << fmHidData->hbHidData->item(i)->text();
    }
    return lines;
}
} // namespace

TEST(MainWindow, LookWithNoUnit) {
    Rig rig;
    TfmIsp* w = rig.w;
    Rig::waitFor([&] { return w->HidCtl->ScanCount() >= 1; }, 5000);
    EXPECT_EQ(w->windowTitle(), "Update TRM 415 V1.04 DezOdeziDorOzo");
    EXPECT_EQ(w->lbHidShow->text(), "Device Update");
    EXPECT_EQ(w->lbHidShow->geometry(), QRect(96, 16, 201, 20));
    EXPECT_EQ(w->btnStartProgram->text(), "Start Program ");
    EXPECT_EQ(w->btnStartProgram->geometry(), QRect(80, 48, 241, 30));
    EXPECT_FALSE(w->btnStartProgram->isEnabled());
    EXPECT_TRUE(w->btnVersion->isEnabled());
    EXPECT_FALSE(w->bnMcuProgram->isEnabled());
    EXPECT_FALSE(w->bnDspPorgram->isEnabled());
    // The small buttons lie inside "Start Program "'s rectangle, which covers them.
    for (QPushButton* b : {w->btnVersion, w->bnMcuProgram, w->bnDspPorgram}) {
        EXPECT_TRUE(w->btnStartProgram->geometry().contains(b->geometry()))
            << b->objectName().toStdString();
    }
    EXPECT_EQ(w->pbProgress->value(), 0);
    EXPECT_EQ(w->pbProgress->maximum(), 100);
    EXPECT_EQ(w->PanelText(0), "Disconnect");
    EXPECT_EQ(w->PanelText(1), "No Device");
    EXPECT_FALSE(w->StatusRed());
    EXPECT_FALSE(w->Memory1->isVisible());
    EXPECT_FALSE(w->HidData1->isVisible());
    EXPECT_FALSE(fmHidData->isVisible());
    // Sizes are given with the frame: every window's client area is its size less it.
    EXPECT_EQ(w->size(), QSize(420 - 16, 173 - 39));
    EXPECT_EQ(fmHidData->size(), QSize(654 - 16, 545 - 39));
    EXPECT_EQ(fmProgData->size(), QSize(654 - 16, 545 - 39));
    EXPECT_FALSE(fmProgData->isVisible());
    EXPECT_EQ(fmProgData->moShowCode->toPlainText(), "Memo1");
    // Writing the step label leaves the visible status bar as it is.
    w->SetStepLabel("Connect");
    EXPECT_EQ(w->PanelText(0), "Disconnect");
    EXPECT_EQ(w->sbStatus->currentMessage(), "");
    // A device-change broadcast with no unit claimed restores "No Device".
    w->SetPanelText(1, "Detect Run HID");
    w->HidCtl->OnSystemDeviceChange();
    EXPECT_EQ(w->PanelText(1), "No Device");
}

TEST(MainWindow, TrafficLinesOnlyWhileTheWindowIsVisible) {
    sim::UnitScenario s = Rig::defaults();
    s.identityText = "TRM415 V0103P 20210630"; // refused: the exchange stops there
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnVersionClick();
    ASSERT_TRUE(rig.waitMessage("Too Old Version Uint !! "));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->link == nullptr; }, 5000));
    EXPECT_TRUE(trafficLines().isEmpty()); // hidden: nothing logged, nor later

    fmHidData->show();
    rig.w->btnVersionClick();
    ASSERT_TRUE(Rig::waitFor([&] { return trafficLines().size() >= 2; }));
    const QStringList lines = trafficLines();
    EXPECT_EQ(lines[0], "W 00  10 02 00 01 01 10 10 03 11 ");
    EXPECT_EQ(lines[1], "R 00  10 02 01 00 02 10 19 10 03 0B ");
    EXPECT_EQ(fmHidData->hbHidData->currentRow(), fmHidData->hbHidData->count() - 1);
    fmHidData->hide();
}

class Refusal : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

std::string refusalName(const ::testing::TestParamInfo<Refusal::ParamType>& info) {
    static const char* const kNames[] = {"WrongUnitType", "WrongModelCase", "VersionTooOld",
                                         "VersionTooNew"};
    return kNames[info.index];
}

TEST_P(Refusal, TellsTheUnitShowsTheTextAndClosesLater) {
    sim::UnitScenario s = Rig::defaults();
    const auto& [setting, text] = GetParam();
    if (setting == "type") {
        s.unitType = 0x18;
    } else {
        s.identityText = setting;
    }
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    ASSERT_TRUE(rig.waitMessage(QString::fromStdString(text)));
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.messages[0].first, MessageKind::Information);
    // RejectUnit went before the box; right after it the link is still open and
    // "Start Program " is enabled again.
    EXPECT_EQ(rig.count(cmd::RejectUnit), 1);
    EXPECT_EQ(rig.w->refused, 1);
    EXPECT_TRUE(rig.w->btnStartProgram->isEnabled());
    EXPECT_TRUE(rig.w->link != nullptr);
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->link == nullptr; }, 5000));
    EXPECT_EQ(rig.w->PanelText(0), "Disconnect");
    EXPECT_EQ(rig.w->mode, 0);
    EXPECT_EQ(rig.count(cmd::IapReset), 0);
    EXPECT_EQ(rig.count(cmd::GetVersion), setting == "type" ? 0 : 1);
    EXPECT_TRUE(Rig::waitFor([&] { return rig.unit->state().rejectUnit == 1; }, 5000));
}

INSTANTIATE_TEST_SUITE_P(Gate, Refusal,
                         ::testing::Values(std::make_pair(std::string("type"),
                                                          std::string(" Invalid Unit Type !! ")),
                                           std::make_pair(std::string("trm415 V0104P 20210630"),
                                                          std::string(" Invalid Unit Type !! ")),
                                           std::make_pair(std::string("TRM415 V0103P 20210630"),
                                                          std::string("Too Old Version Uint !! ")),
                                           std::make_pair(std::string("TRM415 V0105P 20210630"),
                                                          std::string("Too New Version Uint !! "))),
                         refusalName);

TEST(MainWindow, SilentUnitFallsBackToPairOneWithRequestsQueued) {
    sim::UnitScenario s = Rig::defaults();
    s.silentApplication = true;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    Rig::pump(2000);
    EXPECT_EQ(rig.w->mcuBusy, 0); // nothing before the 3000 ms fallback
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->mcuBusy == 1; }, 5000));
    EXPECT_EQ(rig.w->imageSel, 1);
    EXPECT_EQ(rig.w->imageLength, 57968);
    EXPECT_TRUE(rig.w->tmMcuProg->isActive()); // polling for the update identity
    EXPECT_TRUE(rig.w->StatusRed());
    EXPECT_EQ(rig.w->pbProgress->maximum(), 57968 / 56 + 1);
    ASSERT_TRUE(rig.w->link != nullptr);
    EXPECT_TRUE(rig.w->link->busy());
    EXPECT_EQ(rig.w->link->queued(), 2u); // GetUnitType and IapReset behind the first
    EXPECT_EQ(rig.unit->state().commands, (std::vector<std::uint8_t>{cmd::GetUnitType}));
}

TEST(MainWindow, RefusedThenSilentOnlyReenablesStart) {
    sim::UnitScenario s = Rig::defaults();
    s.unitType = 0x18;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(rig.waitMessage(" Invalid Unit Type !! "));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->link == nullptr; }, 5000));
    ASSERT_TRUE(Rig::waitFor([&] { return !rig.w->tmAutoUpdate->isActive(); }, 5000));
    sim::UnitScenario quiet = s;
    quiet.silentApplication = true;
    rig.unit->setScenario(quiet);
    rig.w->btnStartProgram->click();
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }, 6000));
    EXPECT_EQ(rig.w->mcuBusy, 0);
    EXPECT_EQ(rig.count(cmd::IapReset), 0);
}

TEST(MainWindow, EmptyUnitTypeReplyIsReportedNotThrown) {
    Rig rig;
    const Bytes reply{0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03, 0x00};
    rig.w->tmAutoUpdate->start();
    rig.w->HandleResponse(LinkMessage(WM_LINK_REPLY, reinterpret_cast<quintptr>(&reply), 0));
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.messages[0].first, MessageKind::Error);
    EXPECT_EQ(rig.messages[0].second, "vector");
    EXPECT_FALSE(rig.w->tmAutoUpdate->isActive());
}

TEST(MainWindow, DataHandlerHandsOnWhatTheReportHolds) {
    Rig rig;
    TfmIsp* w = rig.w;
    fmHidData->show();
    w->link.reset(new LUsbProc(w));
    ASSERT_TRUE(w->link->Open());
    w->rxGate = 1;
    std::uint8_t report[64] = {0x10, 0x02, 0x01, 0x00, 0x05, 0x52, 1, 2, 3, 4, 0x10, 0x03, 0x77};
    w->HidCtlDeviceData(nullptr, 0, report, 64);
    report[4] = 0xFF; // a length that cannot fit a report: cut to the 64 bytes held
    w->HidCtlDeviceData(nullptr, 0, report, 64);
    report[0] = 0x42; // not a reply frame: 64 bytes
    w->HidCtlDeviceData(nullptr, 0, report, 64);
    // Boot-loader modes take one report per opening of the gate.
    w->mode = 2;
    w->HidCtlDeviceData(nullptr, 0, report, 64);
    w->HidCtlDeviceData(nullptr, 0, report, 64);
    ASSERT_TRUE(Rig::waitFor([&] { return fmHidData->hbHidData->count() == 4; }, 2000));
    Rig::pump(50);
    const QStringList lines = trafficLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "R 00  10 02 01 00 05 52 01 02 03 04 10 03 77 ");
    EXPECT_EQ(lines[1].size(), 6 + 64 * 3);
    EXPECT_EQ(lines[2].size(), 6 + 64 * 3);
    EXPECT_EQ(w->rxGate, 0);
    // With no link, an open gate hands nothing on.
    w->mode = 0;
    w->CloseLink();
    w->rxGate = 1;
    w->HidCtlDeviceData(nullptr, 0, report, 64);
    Rig::pump(20);
    EXPECT_EQ(fmHidData->hbHidData->count(), 4);
    fmHidData->hide();
}

TEST(MainWindow, WriteReportFillsTheOutputReportWithZerosAndLogsTheData) {
    Rig rig;
    TfmIsp* w = rig.w;
    std::vector<Bytes> written;
    std::mutex m;
    HIDP_CAPS caps;
    caps.InputReportByteLength = 65;
    // An output report length the descriptor does not state (0) writes a full report:
    // report ID and 64 data bytes.
    for (std::uint16_t stated : {65, 129, 0}) {
        caps.OutputReportByteLength = stated;
        const std::size_t out = stated != 0 ? stated : 65;
        const std::string id =
            rig.bus->add({0x0168, 0x0821, 1}, caps, [&](const std::uint8_t* r, std::size_t n) {
                std::lock_guard lock(m);
                written.emplace_back(r, r + n);
            });
        ASSERT_TRUE(Rig::waitFor([&] { return w->device != nullptr; }, 5000));
        fmHidData->show();
        std::uint8_t packet[70];
        for (int i = 0; i < 70; ++i) {
            packet[i] = static_cast<std::uint8_t>(0xA0 + i);
        }
        w->WriteReport(packet, 70);
        w->WriteReport(packet, 3); // stale bytes of the longer report must not follow
        ASSERT_TRUE(Rig::waitFor([&] { return fmHidData->hbHidData->count() == 2; }, 2000));
        EXPECT_EQ(fmHidData->hbHidData->item(0)->text().size(), 6 + 70 * 3);
        EXPECT_EQ(fmHidData->hbHidData->item(1)->text(), "W 00  A0 A1 A2 ");
        fmHidData->hide();
        fmHidData->hbHidData->clear();
        std::unique_lock lock(m);
        ASSERT_EQ(written.size(), 2u);
        EXPECT_EQ(written[0].size(), out);
        EXPECT_EQ(written[0][0], 0);
        EXPECT_EQ(written[0][1], 0xA0);
        for (std::size_t i = 1; i < out; ++i) {
            EXPECT_EQ(written[0][i], i <= 70 ? 0xA0 + i - 1 : 0) << i;
        }
        for (std::size_t i = 4; i < out; ++i) {
            EXPECT_EQ(written[1][i], 0) << i;
        }
        written.clear();
        lock.unlock();
        rig.bus->remove(id);
        ASSERT_TRUE(Rig::waitFor([&] { return w->device == nullptr; }, 5000));
    }
}

TEST(MainWindow, RealMessageBoxHasIconTextAndOneOkButton) {
    Rig rig;
    rig.w->operatorStandIn = nullptr;
    bool checked = false;
    QTimer::singleShot(50, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        EXPECT_EQ(box->text(), " Program OK !! ");
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        checked = true;
        box->button(QMessageBox::Ok)->click();
    });
    rig.w->ShowMessage(MessageKind::Information, " Program OK !! ");
    EXPECT_TRUE(checked);
    QTimer::singleShot(50, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        box->button(QMessageBox::Ok)->click();
    });
    rig.w->ShowMessage(MessageKind::Error, "ISP Start Error !!");
    rig.w->operatorStandIn = [](MessageKind, const QString&) {};
}

// The unit among other HID devices of a desktop, listed before and after it: they are
// ignored, and closing the window with the unit claimed closes the link, the traffic
// window, and reports the unit unplugged once while the forms are destroyed.
TEST(MainWindow, ClosingTheWindowAmongOtherDevicesClosesTheLinkAndTheTrafficWindow) {
    sim::UnitScenario s = Rig::defaults();
    s.otherDevices = 3;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    const auto& devices = rig.w->HidCtl->Devices();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_NE(devices.back().get(), rig.w->device); // the unit is not the last entry
    for (const auto& d : devices) {
        EXPECT_EQ(d->CheckedOut(), d.get() == rig.w->device);
    }
    rig.w->btnVersionClick();
    ASSERT_TRUE(rig.w->link != nullptr);
    rig.w->HidData1Click();
    ASSERT_TRUE(fmHidData->isVisible());
    rig.w->close();
    EXPECT_TRUE(rig.w->link == nullptr);
    EXPECT_EQ(rig.w->PanelText(0), "Disconnect");
    EXPECT_FALSE(fmHidData->isVisible());
    int unplugs = 0;
    QObject::connect(rig.w, &TfmIsp::panelChanged, [&](int panel, const QString& text) {
        unplugs += panel == 1 && text == "No Device";
    });
    rig.w->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms(); // the controller reports the claimed unit unplugged
    rig.w = nullptr;
    EXPECT_EQ(unplugs, 1);
    CreateForms(std::make_unique<sim::SimHidBackend>(rig.bus)); // for the rig's own end
    rig.w = fmIsp;
}

TEST(MainWindow, HiddenMenuItemsOpenTheDiagnosticWindows) {
    Rig rig;
    rig.w->move(100, 80);
    rig.w->HidData1Click();
    EXPECT_TRUE(fmHidData->isVisible());
    EXPECT_EQ(fmHidData->pos(),
              QPoint(rig.w->x() + rig.w->frameGeometry().width() + 10, rig.w->y()));
    EXPECT_EQ(fmHidData->windowTitle(), "Hid Data");
    fmHidData->hide();
    bool modal = false;
    QTimer::singleShot(50, [&] {
        modal = QApplication::activeModalWidget() == fmProgData;
        fmProgData->accept();
    });
    rig.w->Memory1Click();
    EXPECT_TRUE(modal);
    EXPECT_EQ(fmProgData->windowTitle(), "Program Data");
}

// Enabling a timer that is running already leaves its count going: a second click on
// "Start Program " does not push the auto-update fallback further away.
TEST(MainWindow, EnablingARunningTimerKeepsItsCount) {
    Rig rig; // no unit: the clicks send nothing
    rig.w->btnStartProgramClick();
    ASSERT_TRUE(rig.w->tmAutoUpdate->isActive());
    Rig::pump(300);
    const int left = rig.w->tmAutoUpdate->remainingTime();
    ASSERT_LE(left, 2700);
    rig.w->btnStartProgramClick();
    EXPECT_LE(rig.w->tmAutoUpdate->remainingTime(), left);
    rig.w->tmAutoUpdate->stop();
}
