// Scenario settings of the simulated unit.
#include "sim/Scenario.h"

#include "hid/PortBound.h"

#include <cstdlib>
#include <vector>

namespace trm::sim {
namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::string cur;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            cur += text[++i]; // "\," keeps a comma in an identity text
        } else if (text[i] == ',') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += text[i];
        }
    }
    parts.push_back(cur);
    return parts;
}

bool number(const std::string& s, long& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    out = std::strtol(s.c_str(), &end, 0);
    return *end == '\0';
}

// "connect", "data:N", "dsp:N", ... -> step (or 0 for dsp) and count.
bool place(const std::string& s, int& stepOut, int& count, bool& dsp) {
    static const std::pair<const char*, int> kSteps[] = {
        {"connect", step::Connect},
        {"sync-package", step::SyncPackage},
        {"firmware-version", step::FirmwareVersion},
        {"device-id", step::DeviceId},
        {"read-config", step::ReadConfig},
        {"sync-program", step::SyncProgram},
        {"start-program", step::StartProgram},
        {"reset", step::McuReset}};
    dsp = false;
    count = 1;
    for (const auto& [name, st] : kSteps) {
        if (s == name) {
            stepOut = st;
            return true;
        }
    }
    long n = 0;
    if (s.rfind("data:", 0) == 0 && number(s.substr(5), n) && n >= 1) {
        stepOut = step::ProgramData;
        count = static_cast<int>(n);
        return true;
    }
    if (s.rfind("dsp:", 0) == 0 && number(s.substr(4), n) && n >= 1) {
        dsp = true;
        count = static_cast<int>(n);
        return true;
    }
    return false;
}

} // namespace

std::optional<std::string> ParseScenario(const std::string& text, UnitScenario& s) {
    if (text.empty() || text == "default") {
        return std::nullopt;
    }
    for (const std::string& item : split(text)) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        long n = 0;
        const bool loose = item.rfind("replay-loose:", 0) == 0;
        if (loose || item.rfind("replay:", 0) == 0) {
            s.replayFile = item.substr(loose ? 13 : 7);
            s.replayStrict = !loose;
            if (s.replayFile.empty()) {
                return "replay: names no recording";
            }
        } else if (key == "identity" && eq != std::string::npos) {
            s.identityText = value;
        } else if (key == "type" && number(value, n) && n >= 0 && n <= 255) {
            s.unitType = static_cast<std::uint8_t>(n);
        } else if (key == "update" && eq == std::string::npos) {
            s.startInUpdate = true;
        } else if (key == "silent" && eq == std::string::npos) {
            s.silentApplication = true;
        } else if (key == "absent" && eq == std::string::npos) {
            s.absent = true;
        } else if (key == "denied" && eq == std::string::npos) {
            s.accessDenied = true;
        } else if ((key == "restart" || key == "late" || key == "margin") && number(value, n) &&
                   n >= 0 && n <= 600000) {
            (key == "restart" ? s.restartMs
             : key == "late"  ? s.lateMs
                              : s.replyMarginMs) = static_cast<int>(n);
        } else if (key == "early" && number(value, n) && n >= 0 && n <= 1000) {
            s.earlyMs = static_cast<int>(n);
        } else if (key == "others" && number(value, n) && n >= 0 && n <= 64) {
            s.otherDevices = static_cast<int>(n);
        } else if (key == "port" && IsUsbPortName(value)) {
            s.usbPort = value;
        } else if (key == "serial" && eq != std::string::npos && value.size() <= 64) {
            s.serial = value;
        } else if (key == "output" && number(value, n) && n >= 65 && n <= 1024) {
            s.outputReportLength = static_cast<std::uint16_t>(n);
        } else if (key == "wrong-sum" || key == "drop" || key == "mute") {
            int st = 0, count = 1;
            bool dsp = false;
            if (!place(value, st, count, dsp) || (dsp && key == "wrong-sum")) {
                return "unknown place '" + value + "' for " + key;
            }
            const Fault f = key == "wrong-sum" ? Fault::WrongSum
                            : key == "drop"    ? Fault::DropOff
                                               : Fault::Silent;
            if (dsp) {
                s.dspFault = f;
                s.dspFaultBlock = count;
            } else {
                s.bootFault = f;
                s.bootFaultStep = st;
                s.bootFaultPacket = count;
            }
        } else {
            return "unknown setting '" + item + "'";
        }
    }
    return std::nullopt;
}

const char* ScenarioHelp() {
    return "  identity=TEXT    the identity text the unit reports (default\n"
           "                   \"TRM415 V0104P 20210630\"); write \\, for a comma\n"
           "  type=N           the unit type the unit reports (default 0x19)\n"
           "  update           start in the update identity (boot loader running)\n"
           "  silent           the application answers nothing\n"
           "  absent           no unit is plugged in\n"
           "  denied           the unit's node cannot be opened (no access)\n"
           "  wrong-sum=PLACE  answer the boot-loader request at PLACE with a wrong sum\n"
           "  drop=PLACE       drop off the bus on receiving the request at PLACE\n"
           "  mute=PLACE       stop answering from the request at PLACE on\n"
           "  restart=MS       restart time into the other identity (default 300)\n"
           "  late=MS          answer every request MS later\n"
           "  margin=MS        boot loader: answer MS after the step's delay (default 10)\n"
           "  early=MS         boot loader: answer MS before the step's delay has passed\n"
           "  others=N         N other HID devices on the bus, before and after the unit\n"
           "  output=N         output report length with report ID (default 65)\n"
           "  port=PORT        the USB port the unit is plugged into (default 1-1)\n"
           "  serial=TEXT      the unit's HID serial (default none)\n"
           "  replay:FILE      play the recording FILE (trm415-run --record) back as the\n"
           "                   unit, strictly: a report written that differs from the\n"
           "                   recording ends the run; the fault settings apply on top\n"
           "  replay-loose:FILE  the same, going on past differences and listing them\n"
           "  PLACE is one of connect, sync-package, firmware-version, device-id,\n"
           "  read-config, sync-program, start-program, data:N (the N-th program-data\n"
           "  packet), reset, or dsp:N (the N-th DSP block; drop and mute only).\n";
}

} // namespace trm::sim
