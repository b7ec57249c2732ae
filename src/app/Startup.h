// Program start-up shared by the operator's program and the headless runner.
#pragma once

#include "hid/HidBackend.h"

#include <memory>

namespace trm {

// Creates the main window into fmIsp (its HID controller queues its first scan), then
// the two hidden diagnostic windows into fmHidData and fmProgData.
void CreateForms(std::unique_ptr<HidBackend> backend);
// Destroys the three windows, the main window first.
void DestroyForms();

} // namespace trm
