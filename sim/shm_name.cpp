// The shared-memory names of a run with ZYL_SIM_ROOT. Apart from the interposers, so
// that a tool which only looks at the objects (tools/spi-view) finds a test's object
// without taking the whole virtual board along.
#include <cstdint>
#include <cstdio>

#include "sim/sim.h"

std::string sim_shm_name(std::string_view name, std::string_view root) {
    if (root.empty() || name.substr(0, 5) != "/zyl-") return std::string(name);
    uint64_t h = 1469598103934665603ull;  // FNV-1a of the root keeps names short and distinct
    for (char c : root) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char prefix[32];
    snprintf(prefix, sizeof prefix, "/zylsim-%016llx-", static_cast<unsigned long long>(h));
    return prefix + std::string(name.substr(1));
}
