// Which CPUs a program may run on, and binding to one.
#include "cli/Cpus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sched.h>

namespace trm::cli {

std::vector<int> AllowedCpus() {
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return cpus;
    }
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) {
            cpus.push_back(c);
        }
    }
    return cpus;
}

int CurrentCpu() {
    return sched_getcpu();
}

bool BindToCpu(int cpu, std::string& why) {
    const std::vector<int> allowed = AllowedCpus();
    if (std::find(allowed.begin(), allowed.end(), cpu) == allowed.end()) {
        why = "CPU " + std::to_string(cpu) + " is not among the CPUs this process may use";
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        why =
            std::string("cannot bind to CPU ") + std::to_string(cpu) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace trm::cli
