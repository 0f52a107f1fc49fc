#include "cli/map_command.h"

#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

namespace halyardctl {

namespace {

using nlohmann::json;

// Edge colours by quality level, the window's colours for the list's words.
constexpr const char* kLevelColours[kMapQualityLevels] = {"#9e9e9e", "#d32f2f", "#f57c00",
                                                          "#7cb342", "#2e7d32"};
constexpr const char* kUnknownColour = "#bdbdbd";

std::string nodeLabel(const MapNodeView& n) {
    return n.name + " (" + n.mac + ")";
}

json rateJson(const MapDirection& d) {
    return d.rate == kMapRateUnknown ? json(nullptr) : json(d.rate);
}

json qualityJson(const MapDirection& d) {
    return d.quality.empty() ? json(nullptr) : json(d.quality);
}

void printJson(const NetworkMapView& view, const std::string& interfaceName, std::ostream& out) {
    json nodes = json::array();
    for (const MapNodeView& n : view.nodes)
        nodes.push_back(json{{"mac", n.mac},
                             {"name", n.name},
                             {"location", n.local ? "local" : "remote"},
                             {"family", n.family},
                             {"local", n.local}});
    json links = json::array();
    for (const MapLinkView& l : view.links) {
        const MapNodeView& a = view.nodes[static_cast<size_t>(l.a)];
        const MapNodeView& b = view.nodes[static_cast<size_t>(l.b)];
        links.push_back(json{{"from", a.mac},
                             {"to", b.mac},
                             {"rate_mbps", rateJson(l.forward)},
                             {"quality", qualityJson(l.forward)}});
        links.push_back(json{{"from", b.mac},
                             {"to", a.mac},
                             {"rate_mbps", rateJson(l.backward)},
                             {"quality", qualityJson(l.backward)}});
    }
    out << json{{"interface", interfaceName}, {"nodes", nodes}, {"links", links}}.dump(2) << "\n";
}

std::string qualityWord(const MapDirection& d) {
    return d.quality.empty() ? "?" : d.quality;
}

void printTable(const NetworkMapView& view, const std::string& interfaceName, std::ostream& out) {
    out << "Interface " << interfaceName << ", " << view.nodes.size()
        << (view.nodes.size() == 1 ? " adapter" : " adapters") << ", " << view.links.size()
        << (view.links.size() == 1 ? " pair" : " pairs") << " (rates in Mbit/s, ? unknown)\n";
    size_t width = 4;
    for (const MapNodeView& n : view.nodes)
        width = std::max(width, nodeLabel(n).size());
    out << std::left << std::setw(static_cast<int>(width)) << "FROM"
        << "  " << std::setw(static_cast<int>(width)) << "TO"
        << "  " << std::right << std::setw(7) << "RATE->"
        << "  " << std::setw(7) << "RATE<-"
        << "  " << std::left << "QUALITY -> / <-\n";
    for (const MapLinkView& l : view.links) {
        out << std::left << std::setw(static_cast<int>(width))
            << nodeLabel(view.nodes[static_cast<size_t>(l.a)]) << "  "
            << std::setw(static_cast<int>(width)) << nodeLabel(view.nodes[static_cast<size_t>(l.b)])
            << "  " << std::right << std::setw(7) << l.forward.rateText << "  " << std::setw(7)
            << l.backward.rateText << "  " << std::left << qualityWord(l.forward) << " / "
            << qualityWord(l.backward) << "\n";
    }
}

void printDot(const NetworkMapView& view, std::ostream& out) {
    out << "graph powerline {\n"
        << "  graph [overlap=false, splines=true, fontname=\"sans-serif\"];\n"
        << "  node [shape=box, style=rounded, fontname=\"sans-serif\"];\n"
        << "  edge [fontname=\"sans-serif\", fontsize=10];\n";
    for (size_t k = 0; k < view.nodes.size(); ++k) {
        const MapNodeView& n = view.nodes[k];
        std::string label = n.name + "\n" + n.location + ", " + n.family + "\n" + n.mac;
        out << "  n" << k << " [label=" << dotQuoted(label);
        if (n.local)
            out << ", peripheries=2, penwidth=2, style=\"rounded,bold\"";
        out << "];\n";
    }
    for (const MapLinkView& l : view.links) {
        const MapNodeView& a = view.nodes[static_cast<size_t>(l.a)];
        const MapNodeView& b = view.nodes[static_cast<size_t>(l.b)];
        std::string label = a.name + " \u2192 " + b.name + ": " + l.forward.rateText + "\n" +
                            b.name + " \u2192 " + a.name + ": " + l.backward.rateText + " Mbit/s";
        int level = l.level();
        out << "  n" << l.a << " -- n" << l.b << " [label=" << dotQuoted(label) << ", color=\""
            << (level == kMapQualityUnknown ? kUnknownColour : kLevelColours[level]) << "\""
            << (level == kMapQualityUnknown ? ", style=dashed" : "") << "];\n";
    }
    out << "}\n";
}

} // namespace

std::string dotQuoted(const std::string& text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            q += '\\';
        if (c == '\n') {
            q += "\\n";
            continue;
        }
        if (c == '\r')
            continue;
        q += c;
    }
    return q + "\"";
}

void printNetworkMap(const NetworkMapView& view, MapFormat format, const std::string& interfaceName,
                     std::ostream& out) {
    switch (format) {
    case MapFormat::Json:
        printJson(view, interfaceName, out);
        break;
    case MapFormat::Dot:
        printDot(view, out);
        break;
    case MapFormat::Table:
        printTable(view, interfaceName, out);
        break;
    }
}

} // namespace halyardctl
