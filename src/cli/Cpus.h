// Which CPUs a program may run on, and binding a process's threads to one of them.
//
// An update is a chain of hand-overs between its threads (the unit's reader, the
// window, the link worker): about ten wake-ups per exchange. Woken on the CPU the
// waker runs on, each costs a fraction of what a wake-up on another, idle CPU costs
// (an inter-processor interrupt, on a virtual machine an exit to the host), so a runner
// keeps all its threads on one CPU, and a station spreads its runners over the CPUs.
#pragma once

#include <string>
#include <vector>

namespace trm::cli {

// The CPUs the calling thread may run on, ascending (empty if they cannot be read).
std::vector<int> AllowedCpus();

// The CPU the calling thread runs on now, or -1.
int CurrentCpu();

// Binds the calling thread, and every thread it starts afterwards, to `cpu`. False, with
// the reason in `why`, when `cpu` is not among AllowedCpus() or the binding fails.
bool BindToCpu(int cpu, std::string& why);

} // namespace trm::cli
