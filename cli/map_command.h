#pragma once
// halyardctl map: the rate between every pair of adapters, printed as a table
// (one row per pair), one JSON document (`nodes` and `links`, one link per
// direction, `rate_mbps` null when unknown) or a Graphviz graph.
#include <iosfwd>
#include <string>

#include "ui/network_map_logic.h"

namespace halyardctl {

enum class MapFormat { Table, Json, Dot };

void printNetworkMap(const NetworkMapView& view, MapFormat format, const std::string& interfaceName,
                     std::ostream& out);

// A Graphviz quoted string: backslashes and quotes escaped, line breaks as \n.
std::string dotQuoted(const std::string& text);

} // namespace halyardctl
