// Where the shipped scenarios and the built program are.
#include <cstdlib>

#include "sim/network.h"

namespace sim {

std::string scenarioPath(const std::string& name) {
    return std::string(PLCSIM_SCENARIO_DIR) + "/" + name;
}

std::string programPath() {
    if (const char* path = std::getenv("PLCSIM_PROGRAM"); path && *path)
        return path;
    return PLCSIM_PATH;
}

} // namespace sim
