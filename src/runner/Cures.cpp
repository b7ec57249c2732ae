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
    // Only an identity text of more than 21 characters is refused for its firmware: its
    // version digits (characters 9 to 12) must read 0104. A shorter one carries a date,
    // which only chooses the image pair.
    return QString("unit type 0x%1%2: refused, its firmware is too %3 (version digits \"%4\"; "
                   "this program takes version 0104 only)")
        .arg(unitType, 2, 16, QChar('0'))
        .arg(identity)
        .arg(refusal == kTooOldVersion ? "old" : "new")
        .arg(identityText.mid(8, 4));
}

QString Cure(records::Result result, const QString& lastMessage, const QString& phase) {
    using records::Result;
    const bool inBootLoader = phase == events::phase::kBootLoader;
    switch (result) {
    case Result::Ok:
    case Result::Unfinished:
        return {};
    case Result::Refused:
        return lastMessage == kInvalidUnitType
                   ? "nothing was written; use the right unit (a TRM415)"
                   : "nothing was written; this program is not meant for that unit's firmware";
    case Result::BootLoaderError:
        if (lastMessage.startsWith("ISP Start") || lastMessage.startsWith("ISP Sync") ||
            lastMessage.startsWith("Get ID")) {
            return "unplug the unit, plug it in again and run the update again";
        }
        return "unplug the unit, plug it in again and restart the program: the unit is in "
               "its boot loader and is written with image pair 1";
    case Result::CannotOpen:
        return "install the package (its udev rule gives the user at the seat access) or "
               "join the group plugdev, then unplug and replug the unit; "
               "'trm415-run --check' tells more";
    case Result::Claimed:
        return "nothing was sent to the unit: let the program that holds it finish, or "
               "close it, then run the update again";
    case Result::NoUnit:
        return "plug the unit in and check its cable; 'trm415-run --list' shows what is "
               "attached";
    case Result::Interrupted:
    case Result::InterruptedStationStopped:
        return inBootLoader ? "the unit was left in its boot loader: plug it in and run the "
                              "update again to finish (it is written with image pair 1)"
                            : "run the update again";
    case Result::UnitLost:
        return "plug the unit back in and run the update again; a unit found in its boot "
               "loader is written with image pair 1";
    case Result::Timeout:
        return inBootLoader ? "the unit is in its boot loader: unplug it, plug it in again "
                              "and run the update again"
                            : "unplug the unit, plug it in again and run the update again";
    case Result::Failed:
        break;
    }
    if (lastMessage.startsWith("READ ERROR")) {
        return "check the cable, then unplug the unit, plug it in again and run the update "
               "again";
    }
    return "unplug the unit, plug it in again and run the update again";
}

} // namespace trm::runner
