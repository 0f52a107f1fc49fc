#pragma once
// The emulated homes the flow, command-line, exporter, wire and live tests run
// against, as their scenario files hold them (sim/scenarios/). One place, so a
// change to a scenario is a change to one header and the tests that look.
#include <map>
#include <string>
#include <utility>

// sim/scenarios/home.json: a local AV adapter and two remotes on the public
// network, and Garage on a private network whose device password is known.
namespace home_json {
inline constexpr const char* kLocal = "00:B0:52:00:00:10"; // "Study"
inline constexpr const char* kLiving = "00:B0:52:00:00:11";
inline constexpr const char* kBedroom = "00:B0:52:00:00:12";
inline constexpr const char* kGarage = "00:B0:52:00:00:20";
inline constexpr const char* kLocalPassword = "QWER-TYUI-OPAS-DFGH";
inline constexpr const char* kLivingPassword = "ZXCV-BNMA-SDFG-HJKL";
inline constexpr const char* kBedroomPassword = "POIU-YTRE-WQLK-JHGF";
inline constexpr const char* kGaragePassword = "MNBV-CXZL-KJHG-FDSA";
} // namespace home_json

// sim/scenarios/map.json: four AV adapters, each with its own view of the rate
// to every other one.
namespace map_json {
inline constexpr const char* kStudy = "00:B0:52:00:00:40"; // local
inline constexpr const char* kLounge = "00:B0:52:00:00:41";
inline constexpr const char* kKitchen = "00:B0:52:00:00:42";
inline constexpr const char* kGarage = "00:B0:52:00:00:43";

// Mbit/s from the first adapter to the second.
inline const std::map<std::pair<std::string, std::string>, int>& matrix() {
    static const std::map<std::pair<std::string, std::string>, int> rates = {
        {{kStudy, kLounge}, 150},  {{kStudy, kKitchen}, 90},   {{kStudy, kGarage}, 45},
        {{kLounge, kStudy}, 120},  {{kLounge, kKitchen}, 200}, {{kLounge, kGarage}, 60},
        {{kKitchen, kStudy}, 100}, {{kKitchen, kLounge}, 180}, {{kKitchen, kGarage}, 30},
        {{kGarage, kStudy}, 50},   {{kGarage, kLounge}, 75},   {{kGarage, kKitchen}, 25},
    };
    return rates;
}
} // namespace map_json
