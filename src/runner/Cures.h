// What to do about how a run ended: the cure said on screen and in the summary, and
// the refusal that names what was expected.
#pragma once

#include "records/Result.h"

#include <QString>

namespace trm::runner {

// "unit type 0x20, expected 0x19: refused", or for the right type the identity text and
// what the gate expects of it.
QString RefusalText(int unitType, const QString& identityText, const QString& refusal);

// The cure for a run that ended with `result`, the last message shown and the phase it
// was in; empty for an update that ended ok.
QString Cure(records::Result result, const QString& lastMessage, const QString& phase);

} // namespace trm::runner
