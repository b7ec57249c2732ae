// The program's windows over the simulated bus with a simulated unit, and a stand-in
// operator that records every message and answers OK.
#pragma once

#include "app/Isp.h"
#include "app/Startup.h"
#include "diag/Fhiddata.h"
#include "diag/Fprogdata.h"
#include "firmware/ImageLoader.h"
#include "firmware/data/BuiltinImages.h"
#include "sim/ExpectedImages.h"
#include "sim/SimHidBus.h"
#include "sim/SimUnit.h"
#include "sim/WaitFor.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

namespace trm::testing {

struct Rig {
    std::shared_ptr<sim::SimHidBus> bus = std::make_shared<sim::SimHidBus>();
    std::unique_ptr<sim::SimUnit> unit;
    std::unique_ptr<sim::SimBusPort> port;
    std::vector<std::pair<MessageKind, QString>> messages;
    std::vector<int> commands;
    TfmIsp* w = nullptr;
    sim::UnitScenario scenario;

    explicit Rig(sim::UnitScenario s = defaults()) : scenario(s) {
        unit = std::make_unique<sim::SimUnit>(s);
        port = std::make_unique<sim::SimBusPort>(bus, *unit, s.outputReportLength);
        CreateForms(std::make_unique<sim::SimHidBackend>(bus));
        w = fmIsp;
        w->operatorStandIn = [this](MessageKind k, const QString& t) {
            messages.emplace_back(k, t);
        };
        QObject::connect(w, &TfmIsp::commandSent, [this](int c) { commands.push_back(c); });
    }
    ~Rig() {
        w->operatorStandIn = [](MessageKind, const QString&) {};
        DestroyForms();
        unit.reset();
        port.reset();
    }
    // The unit's defaults, with a quicker restart.
    static sim::UnitScenario defaults() {
        sim::UnitScenario s;
        s.restartMs = 200;
        return s;
    }
    void start() { sim::StartAmongOtherDevices(*bus, *unit, *port, scenario); }
    static bool waitFor(const std::function<bool()>& pred, int ms = 60000) {
        return WaitFor(pred, ms);
    }
    static void pump(int ms) {
        waitFor([] { return false; }, ms);
    }
    bool waitMessage(const QString& text, int ms = 60000) {
        return waitFor(
            [&] {
                for (auto& m : messages) {
                    if (m.second == text) {
                        return true;
                    }
                }
                return false;
            },
            ms);
    }
    int count(int command) const {
        return static_cast<int>(std::count(commands.begin(), commands.end(), command));
    }

    // The built-in images of pair `sel` as the unit must end up holding them.
    static std::pair<Bytes, Bytes> images(std::int32_t sel) { return sim::BuiltinImagePair(sel); }
    bool holds(std::int32_t sel) const { return sim::HoldsBuiltinImages(*unit, sel); }
};

} // namespace trm::testing
