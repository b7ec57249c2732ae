// Cures, as the README's table of messages gives them.
#include "runner/Cures.h"

#include "cli/RunnerEvents.h"
#include "workflow/Gate.h"

namespace trm::runner {

QString RefusalText(int unitType, const QString& identityText, const QString& refusal) {
    const QString identity = identityText.isEmpty() ? QString() : ", \"" + identityText + "\"";
    if (refusal == kInvalidUnitType && unitType != kAcceptedUnitType) {
        return QString("unit type %1, expected 0x%2: refused")
            .arg(unitType < 0 ? QString("unknown")
                              : QString("0x%1").arg(unitType, 2, 16, QChar('0')))
            .arg(kAcceptedUnitType, 2, 16, QChar('0'));
    }
    if (refusal == kInvalidUnitType) {
        return QString("unit type 0x%1%2: refused, expected the model text \"TRM415\"")
            .arg(unitType, 2, 16, QChar('0'))
            .arg(identity);
    }
    return QString("unit type 0x%1%2: refused, its firmware is too %3 (expected version V0104, "
                   "or a date from 20210301 on)")
        .arg(unitType, 2, 16, QChar('0'))
        .arg(identity)
        .arg(refusal == kTooOldVersion ? "old" : "new");
}

QString Cure(const QString& result, const QString& lastMessage, const QString& phase) {
    const bool inBootLoader = phase == events::phase::kBootLoader;
    if (result == "ok") {
        return {};
    }
    if (result == "refused") {
        return lastMessage == kInvalidUnitType
                   ? "nothing was written; use the right unit (a TRM415)"
                   : "nothing was written; this program is not meant for that unit's firmware";
    }
    if (result == "boot-loader error") {
        if (lastMessage.startsWith("ISP Start") || lastMessage.startsWith("ISP Sync") ||
            lastMessage.startsWith("Get ID")) {
            return "unplug the unit, plug it in again and run the update again";
        }
        return "unplug the unit, plug it in again and restart the program: the unit is in "
               "its boot loader and is written with image pair 1";
    }
    if (result == "cannot open") {
        return "install the package (its udev rule gives the user at the seat access) or "
               "join the group plugdev, then unplug and replug the unit; "
               "'trm415-run --check' tells more";
    }
    if (result == "no unit") {
        return "plug the unit in and check its cable; 'trm415-run --list' shows what is "
               "attached";
    }
    if (result == "interrupted") {
        return inBootLoader ? "the unit was left in its boot loader: plug it in and run the "
                              "update again to finish (it is written with image pair 1)"
                            : "run the update again";
    }
    if (result == "unit lost") {
        return "plug the unit back in and run the update again; a unit found in its boot "
               "loader is written with image pair 1";
    }
    if (result == "time-out") {
        return inBootLoader ? "the unit is in its boot loader: unplug it, plug it in again "
                              "and run the update again"
                            : "unplug the unit, plug it in again and run the update again";
    }
    if (lastMessage.startsWith("READ ERROR")) {
        return "check the cable, then unplug the unit, plug it in again and run the update "
               "again";
    }
    return "unplug the unit, plug it in again and run the update again";
}

} // namespace trm::runner
