// `halyardctl history`: reads the link history file and prints the samples of
// each link, or one summary row per link, as text, one JSON document or CSV.
// Names come from the device database (read, never written), so a rename
// shows here as in the window.
#include "cli/history.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "cli/arguments.h"
#include "cli/halyardctl.h"
#include "network/model.h"
#include "platform/clock.h"
#include "platform/working_folder.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/link_history.h"
#include "storage/preferences.h"
#include "ui/history_view_logic.h"
#include "ui/outcome_boxes.h"

namespace halyardctl {

namespace {

using nlohmann::json;

constexpr int64_t kDefaultSpanSeconds = 24 * 3600;
// The reader waits longer than the recorder: nobody is kept waiting but the one who asked.
constexpr int kReaderBusyTimeoutMs = 2000;

const char* familyText(int code) {
    if (code == kTypeAv)
        return "HomePlug AV";
    if (code == kTypeTurbo)
        return "HomePlug Turbo";
    return "HomePlug 1.0";
}

// Reads exactly `width` digits at `at`; false when there are fewer.
bool digits(const std::string& text, size_t& at, size_t width, int& out) {
    if (at + width > text.size())
        return false;
    out = 0;
    for (size_t k = 0; k < width; ++k) {
        char c = text[at + k];
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + (c - '0');
    }
    at += width;
    return true;
}

bool parseSpan(const std::string& text, int64_t& seconds) {
    if (text.size() < 2 || text.size() > 9)
        return false;
    int64_t unit = 0;
    switch (text.back()) {
    case 's':
        unit = 1;
        break;
    case 'm':
        unit = 60;
        break;
    case 'h':
        unit = 3600;
        break;
    case 'd':
        unit = 86400;
        break;
    case 'w':
        unit = 7 * 86400;
        break;
    default:
        return false;
    }
    int64_t n = 0;
    for (size_t k = 0; k + 1 < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9')
            return false;
        n = n * 10 + (text[k] - '0');
    }
    seconds = n * unit;
    return n > 0;
}

// YYYY-MM-DD[(T| )hh:mm[:ss[.fff]]][Z|(+|-)hh[:]mm]
bool parseIso(const std::string& text, int64_t& out) {
    size_t at = 0;
    std::tm tm{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, at, 4, year) || at >= text.size() || text[at++] != '-' ||
        !digits(text, at, 2, month) || at >= text.size() || text[at++] != '-' ||
        !digits(text, at, 2, day))
        return false;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!digits(text, at, 2, hour) || at >= text.size() || text[at++] != ':' ||
            !digits(text, at, 2, minute))
            return false;
        if (at < text.size() && text[at] == ':') {
            ++at;
            if (!digits(text, at, 2, second))
                return false;
            if (at < text.size() && text[at] == '.') { // fractions are dropped
                ++at;
                size_t start = at;
                while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
                    ++at;
                if (at == start)
                    return false;
            }
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::tm asGiven = tm;
    bool zoned = false;
    int64_t offset = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
        zoned = true;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!digits(text, at, 2, oh))
            return false;
        if (at < text.size() && text[at] == ':')
            ++at;
        if (!digits(text, at, 2, om) || oh > 23 || om > 59)
            return false;
        offset = sign * (oh * 3600 + om * 60);
        zoned = true;
    }
    if (at != text.size())
        return false;
    if (zoned) {
        out = static_cast<int64_t>(timegm(&tm)) - offset;
    } else {
        tm.tm_isdst = -1;
        out = static_cast<int64_t>(mktime(&tm));
    }
    // A day the month does not have (2026-02-30) comes back normalised: refused.
    std::tm check{};
    const time_t t = static_cast<time_t>(zoned ? out + offset : out);
    if (zoned)
        gmtime_r(&t, &check);
    else
        localtime_r(&t, &check);
    return check.tm_mday == asGiven.tm_mday && check.tm_mon == asGiven.tm_mon;
}

std::string seenText(int64_t seconds) {
    const int64_t h = seconds / 3600, m = seconds % 3600 / 60, s = seconds % 60;
    std::ostringstream out;
    if (h)
        out << h << "h " << std::setw(2) << std::setfill('0') << m << "m";
    else if (m)
        out << m << "m " << std::setw(2) << std::setfill('0') << s << "s";
    else
        out << s << "s";
    return out.str();
}

double rounded(double v) {
    return std::round(v * 100.0) / 100.0;
}

std::string fixed2(double v) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(2) << v;
    return out.str();
}

// The device database's names, read as the window reads them at start (the
// preferences name the file); nothing is written.
void loadNames(const Environment& env) {
    const MainPageSetup& setup = env.setup;
    std::string folder = setup.workingFolder;
    if (folder.empty()) {
        const WorkingFolderChoice choice = chooseWorkingFolder();
        folder = choice.folder;
    }
    readPreferencesFile(inFolder(folder, kPrefsFileName), PrefsCreation::Never);
    showOutcome(setup.useDataPlaces
                    ? chooseDataDirectory({setup.machineDataDirectory, setup.fallbackDataDirectory})
                    : chooseDataDirectory(),
                nullptr);
    loadDeviceDatabase();
}

std::string nameOf(const uint8_t* mac) {
    int entry = findDeviceEntry(mac);
    if (entry <= 0)
        return {};
    const DeviceEntry& e = deviceTable[entry - 1];
    return std::string(e.name, strnlen(e.name, sizeof e.name));
}

// A pair's rows name both ends: the rate is from one adapter to the other.
json pairJson(const HistoryLink& link) {
    return json{{"interface", link.interfaceName},   {"from", formatMac(link.localMac)},
                {"to", formatMac(link.remoteMac)},   {"from_name", nameOf(link.localMac)},
                {"to_name", nameOf(link.remoteMac)}, {"family", familyText(link.family)}};
}

json linkJson(const HistoryLink& link) {
    return json{{"interface", link.interfaceName},
                {"local_mac", formatMac(link.localMac)},
                {"remote_mac", formatMac(link.remoteMac)},
                {"name", nameOf(link.remoteMac)},
                {"family", familyText(link.family)}};
}

} // namespace

std::string isoUtc(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool parseWhen(const std::string& text, int64_t now, int64_t& out, std::string& error) {
    int64_t span = 0;
    if (parseSpan(text, span)) {
        out = now - span;
        return true;
    }
    if (parseIso(text, out))
        return true;
    error = "unreadable time \"" + text +
            "\" (expected an ISO-8601 time such as 2026-03-01T18:00:00Z or a span back from "
            "now such as 90m, 24h, 7d)";
    return false;
}

bool parseHistoryArguments(const std::vector<std::string>& args, bool& json, HistoryOptions& o,
                           std::string& error) {
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        std::string name = arg, value;
        bool inlineValue = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto takeValue = [&](std::optional<std::string>& into) {
            if (!inlineValue) {
                if (k + 1 >= args.size()) {
                    error = "option " + name + " needs a value";
                    return false;
                }
                value = args[++k];
            }
            into = value;
            return true;
        };
        auto flag = [&](bool& into) {
            if (inlineValue) {
                error = "option " + name + " takes no value";
                return false;
            }
            into = true;
            return true;
        };
        if (name == "--since" || name == "--until") {
            if (!takeValue(name == "--since" ? o.since : o.until))
                return false;
        } else if (name == "--from" || name == "--to") {
            std::optional<std::string> text;
            if (!takeValue(text))
                return false;
            std::array<uint8_t, 6> mac{};
            if (!parseMacArgument(*text, mac.data())) {
                error = "bad MAC address \"" + *text + "\" for " + name +
                        " (expected six hexadecimal pairs such as 00:B0:52:00:00:10)";
                return false;
            }
            (name == "--from" ? o.from : o.to) = mac;
        } else if (name == "--json") {
            if (!flag(json))
                return false;
        } else if (name == "--csv") {
            if (!flag(o.csv))
                return false;
        } else if (name == "--summary") {
            if (!flag(o.summary))
                return false;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option \"" + arg + "\" for history";
            return false;
        } else {
            std::array<uint8_t, 6> mac{};
            if (!parseMacArgument(arg, mac.data())) {
                error = "bad MAC address \"" + arg +
                        "\" (expected six hexadecimal pairs such as 00:B0:52:00:00:10)";
                return false;
            }
            o.macs.push_back(mac);
        }
    }
    if (json && o.csv) {
        error = "history takes --json or --csv, not both";
        return false;
    }
    if (o.from.has_value() != o.to.has_value()) {
        error = std::string("a pair needs both --from and --to (") + (o.from ? "--to" : "--from") +
                " is missing)";
        return false;
    }
    if (o.from && !o.macs.empty()) {
        error = "history takes MAC addresses or --from and --to, not both";
        return false;
    }
    if (o.from && *o.from == *o.to) {
        error = "--from and --to name the same adapter";
        return false;
    }
    return true;
}

int runHistory(const Options& options, std::ostream& out, std::ostream& err,
               const Environment& env) {
    const HistoryOptions& o = options.history;
    auto usage = [&](const std::string& reason) {
        err << "halyardctl: " << reason << "\n";
        return kExitUsage;
    };
    const int64_t now = (env.clock ? env.clock->utcMs() : utcNowMs()) / 1000;
    // Until now, this second included: a cycle recorded just now is part of it.
    int64_t since = now - kDefaultSpanSeconds, until = now + 1;
    std::string error;
    if (o.since && !parseWhen(*o.since, now, since, error))
        return usage("--since: " + error);
    if (o.until && !parseWhen(*o.until, now, until, error))
        return usage("--until: " + error);
    if (since >= until)
        return usage("--since (" + isoUtc(since) + ") is not before --until (" + isoUtc(until) +
                     ")");

    HistoryStore store;
    const std::string path = env.historyPath.empty() ? defaultHistoryPath() : env.historyPath;
    HistoryResult r = store.open(path, HistoryMode::Read, kReaderBusyTimeoutMs);
    std::vector<HistoryLink> links;
    if (r == HistoryResult::Ok) {
        std::vector<std::vector<uint8_t>> macs;
        for (const auto& m : o.macs)
            macs.emplace_back(m.begin(), m.end());
        r = o.from ? store.pairLinks(o.from->data(), o.to->data(), links)
                   : store.links(macs, links);
    } else if (r == HistoryResult::Missing) {
        r = HistoryResult::Ok; // no history yet: an empty result
    }
    if (r != HistoryResult::Ok) {
        err << "halyardctl: cannot read the history " << path << ": " << historyResultText(r)
            << (store.lastError().empty() ? "" : " (" + store.lastError() + ")") << "\n";
        return kExitFailed;
    }
    loadNames(env);

    // Gather first, print after: a read that fails half-way prints nothing.
    struct Rows {
        HistoryLink link;
        LinkSummary summary;
        std::vector<HistoryPoint> points;
        std::vector<HistoryEvent> events;
    };
    std::vector<Rows> rows;
    for (const HistoryLink& link : links) {
        Rows row{link, {}, {}, {}};
        r = o.summary ? store.summary(link, since, until, row.summary)
                      : store.points(link.id, since, until, false, row.points);
        if (r == HistoryResult::Ok && !o.summary)
            r = store.events(link.id, since, until, row.events);
        if (r != HistoryResult::Ok) {
            err << "halyardctl: cannot read the history " << path << ": " << historyResultText(r)
                << " (" << store.lastError() << ")\n";
            return kExitFailed;
        }
        const bool any = o.summary ? row.summary.samples > 0 || row.summary.dropOuts > 0
                                   : !row.points.empty() || !row.events.empty();
        if (any)
            rows.push_back(std::move(row));
    }

    const bool pairMode = o.from.has_value();
    // The columns that name a row: its link's, or the two ends of a pair.
    auto csvHeadColumns = [&] {
        return pairMode ? std::string("interface,from_mac,to_mac,from_name,to_name,family")
                        : std::string("interface,local_mac,remote_mac,name,family");
    };
    auto csvHead = [&](const HistoryLink& link) {
        std::string head = csvField(link.interfaceName) + "," + formatMac(link.localMac) + "," +
                           formatMac(link.remoteMac) + ",";
        if (pairMode)
            head += csvField(nameOf(link.localMac)) + ",";
        return head + csvField(nameOf(link.remoteMac)) + "," + familyText(link.family);
    };

    if (options.json) {
        json doc{{"since", isoUtc(since)}, {"until", isoUtc(until)}};
        json arr = json::array();
        for (const Rows& row : rows) {
            json j = pairMode ? pairJson(row.link) : linkJson(row.link);
            if (o.summary) {
                const LinkSummary& s = row.summary;
                j["samples"] = s.samples;
                j["min_mbps"] = rounded(s.min);
                j["median_mbps"] = rounded(s.median);
                j["max_mbps"] = rounded(s.max);
                j["seen_s"] = s.seen;
                j["drop_outs"] = s.dropOuts;
            } else {
                json points = json::array();
                for (const HistoryPoint& p : row.points)
                    points.push_back(json{{"time", isoUtc(p.time)},
                                          {"resolution", p.hourly ? "hour" : "sample"},
                                          {"min_mbps", rounded(p.min)},
                                          {"mean_mbps", rounded(p.mean)},
                                          {"max_mbps", rounded(p.max)},
                                          {"samples", p.count},
                                          {"seen_s", p.seen}});
                json drops = json::array();
                for (const HistoryEvent& e : row.events)
                    drops.push_back(isoUtc(e.time));
                j["points"] = points;
                j["drop_outs"] = drops;
            }
            arr.push_back(j);
        }
        doc["links"] = arr;
        out << doc.dump(2) << "\n";
        return kExitOk;
    }

    if (o.csv) {
        if (o.summary) {
            out << csvHeadColumns() << ",samples,min_mbps,median_mbps,max_mbps,seen_s,drop_outs\n";
            for (const Rows& row : rows) {
                const LinkSummary& s = row.summary;
                out << csvHead(row.link) << "," << s.samples << "," << fixed2(s.min) << ","
                    << fixed2(s.median) << "," << fixed2(s.max) << "," << s.seen << ","
                    << s.dropOuts << "\n";
            }
            return kExitOk;
        }
        out << "time,kind," << csvHeadColumns() << ",min_mbps,mean_mbps,max_mbps,samples,seen_s\n";
        for (const Rows& row : rows) {
            const std::string head = csvHead(row.link);
            // Points and drop-outs in time order; a drop-out has no values.
            size_t e = 0;
            for (size_t p = 0; p <= row.points.size(); ++p) {
                const int64_t t = p < row.points.size() ? row.points[p].time : INT64_MAX;
                for (; e < row.events.size() && row.events[e].time <= t; ++e)
                    out << isoUtc(row.events[e].time) << ",dropout," << head << ",,,,,\n";
                if (p == row.points.size())
                    break;
                const HistoryPoint& q = row.points[p];
                out << isoUtc(q.time) << "," << (q.hourly ? "hour" : "sample") << "," << head << ","
                    << fixed2(q.min) << "," << fixed2(q.mean) << "," << fixed2(q.max) << ","
                    << q.count << "," << q.seen << "\n";
            }
        }
        return kExitOk;
    }

    if (rows.empty()) {
        out << "No history from " << isoUtc(since) << " to " << isoUtc(until) << ".\n";
        return kExitOk;
    }
    out << std::left;
    if (o.summary) {
        out << std::setw(10) << "INTERFACE";
        if (pairMode)
            out << " " << std::setw(18) << "FROM";
        out << " " << std::setw(18) << (pairMode ? "TO" : "REMOTE") << " " << std::setw(20)
            << "NAME" << std::right << std::setw(9) << "MIN" << std::setw(9) << "MEDIAN"
            << std::setw(9) << "MAX" << std::setw(10) << "SEEN" << std::setw(10) << "DROP-OUTS"
            << "\n";
        for (const Rows& row : rows) {
            const LinkSummary& s = row.summary;
            out << std::left << std::setw(10) << row.link.interfaceName;
            if (pairMode)
                out << " " << std::setw(18) << formatMac(row.link.localMac);
            out << " " << std::setw(18) << formatMac(row.link.remoteMac) << " " << std::setw(20)
                << nameOf(row.link.remoteMac) << std::right << std::setw(9) << fixed2(s.min)
                << std::setw(9) << fixed2(s.median) << std::setw(9) << fixed2(s.max)
                << std::setw(10) << seenText(s.seen) << std::setw(10) << s.dropOuts << "\n";
        }
        out << "Rates in Mbit/s, " << isoUtc(since) << " to " << isoUtc(until) << ".\n";
        return kExitOk;
    }
    for (const Rows& row : rows) {
        out << row.link.interfaceName << " " << formatMac(row.link.localMac);
        if (const std::string from = nameOf(row.link.localMac); pairMode && !from.empty())
            out << " \"" << from << "\"";
        out << " -> " << formatMac(row.link.remoteMac);
        const std::string name = nameOf(row.link.remoteMac);
        if (!name.empty())
            out << " \"" << name << "\"";
        out << " (" << familyText(row.link.family) << ")\n";
        size_t e = 0;
        for (size_t p = 0; p <= row.points.size(); ++p) {
            const int64_t t = p < row.points.size() ? row.points[p].time : INT64_MAX;
            for (; e < row.events.size() && row.events[e].time <= t; ++e)
                out << "  " << isoUtc(row.events[e].time) << "  drop-out\n";
            if (p == row.points.size())
                break;
            const HistoryPoint& q = row.points[p];
            out << "  " << isoUtc(q.time) << std::right << std::setw(10) << fixed2(q.mean)
                << " Mbit/s";
            if (q.hourly)
                out << "  (hour: min " << fixed2(q.min) << ", max " << fixed2(q.max) << ", "
                    << q.count << " samples)";
            out << "\n" << std::left;
        }
    }
    return kExitOk;
}

} // namespace halyardctl
