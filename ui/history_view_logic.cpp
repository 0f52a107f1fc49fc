#include "ui/history_view_logic.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "network/model.h"
#include "storage/history_recorder.h"

namespace {

const char* familyText(int code) {
    if (code == kTypeAv)
        return "HomePlug AV";
    if (code == kTypeTurbo)
        return "HomePlug Turbo";
    return "HomePlug 1.0";
}

std::string isoUtc(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

} // namespace

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

const char* historySpanName(HistorySpan span) {
    switch (span) {
    case HistorySpan::Hour:
        return "Last hour";
    case HistorySpan::Day:
        return "Last day";
    case HistorySpan::Week:
        return "Last week";
    case HistorySpan::Month:
        return "Last month";
    case HistorySpan::Year:
        break;
    }
    return "Last year";
}

int64_t historySpanSeconds(HistorySpan span) {
    switch (span) {
    case HistorySpan::Hour:
        return 3600;
    case HistorySpan::Day:
        return 86400;
    case HistorySpan::Week:
        return 7 * 86400;
    case HistorySpan::Month:
        return 30 * 86400;
    case HistorySpan::Year:
        break;
    }
    return 365 * 86400;
}

bool historySpanIsHourly(HistorySpan span) {
    return span == HistorySpan::Week || span == HistorySpan::Month || span == HistorySpan::Year;
}

std::vector<std::vector<PlotPoint>> splitIntoRuns(const std::vector<HistoryPoint>& points,
                                                  const std::vector<int64_t>& dropOuts) {
    std::vector<std::vector<PlotPoint>> runs;
    size_t drop = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        const HistoryPoint& p = points[k];
        bool gap = k == 0;
        if (!gap) {
            const HistoryPoint& before = points[k - 1];
            const int64_t step = before.hourly ? 3600 : std::max<int64_t>(before.seen, 1);
            gap = (p.time - before.time) * 2 > step * 5;
            // A drop-out after the point before: the adapter was away in between.
            while (drop < dropOuts.size() && dropOuts[drop] <= before.time)
                ++drop;
            if (drop < dropOuts.size() && dropOuts[drop] <= p.time)
                gap = true;
        }
        if (gap)
            runs.emplace_back();
        runs.back().push_back({p.time, p.mean});
    }
    return runs;
}

namespace {

std::string nameOrMac(const uint8_t* mac) {
    int entry = findDeviceEntry(mac);
    if (entry > 0) {
        const DeviceEntry& e = deviceTable[entry - 1];
        std::string name(e.name, strnlen(e.name, sizeof e.name));
        if (!name.empty())
            return name;
    }
    return formatMac(mac);
}

} // namespace

std::string historyLinkLabel(const HistoryLink& link) {
    if (link.pair)
        return nameOrMac(link.localMac) + " \u2192 " + nameOrMac(link.remoteMac);
    return nameOrMac(link.remoteMac);
}

HistoryResult pairHistoryLinks(HistoryStore& store, const uint8_t* a, const uint8_t* b,
                               std::vector<HistoryLink>& out) {
    out.clear();
    for (const auto& [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
        std::vector<HistoryLink> direction;
        if (HistoryResult r = store.pairLinks(from, to, direction); r != HistoryResult::Ok)
            return r;
        for (HistoryLink& link : direction) {
            link.pair = true; // shown as a direction of the pair, named by both ends
            out.push_back(std::move(link));
        }
    }
    return HistoryResult::Ok;
}

std::vector<int64_t> initialHistoryLinks(const std::vector<HistoryLink>& links,
                                         const std::string& selectedMac,
                                         const std::string& localMac) {
    std::vector<int64_t> ids;
    for (const HistoryLink& l : links)
        if (!selectedMac.empty() && formatMac(l.remoteMac) == selectedMac)
            ids.push_back(l.id);
    if (!ids.empty())
        return ids;
    for (const HistoryLink& l : links)
        if (formatMac(l.localMac) == localMac)
            ids.push_back(l.id);
    if (!ids.empty())
        return ids;
    for (const HistoryLink& l : links)
        ids.push_back(l.id);
    return ids;
}

HistoryResult loadHistoryCurves(HistoryStore& store, const std::vector<HistoryLink>& links,
                                const std::vector<int64_t>& linkIds, HistorySpan span, int64_t now,
                                std::vector<HistoryCurve>& out) {
    out.clear();
    const int64_t since = now - historySpanSeconds(span);
    // The current second's cycle is part of the view.
    const int64_t until = now + 1;
    for (const HistoryLink& link : links) {
        if (std::find(linkIds.begin(), linkIds.end(), link.id) == linkIds.end())
            continue;
        HistoryCurve curve;
        curve.link = link;
        curve.label = historyLinkLabel(link);
        HistoryResult r =
            store.points(link.id, since, until, historySpanIsHourly(span), curve.points);
        std::vector<HistoryEvent> events;
        if (r == HistoryResult::Ok)
            r = store.events(link.id, since, until, events);
        if (r != HistoryResult::Ok)
            return r;
        for (const HistoryEvent& e : events)
            if (e.kind == HistoryEventKind::DropOut)
                curve.dropOuts.push_back(e.time);
        curve.runs = splitIntoRuns(curve.points, curve.dropOuts);
        out.push_back(std::move(curve));
    }
    return HistoryResult::Ok;
}

std::string historyTimeText(int64_t utcSeconds, bool withDate) {
    const time_t t = static_cast<time_t>(utcSeconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, withDate ? "%Y-%m-%d %H:%M" : "%H:%M:%S", &tm);
    return text;
}

std::vector<HistoryTableRow> historyTableRows(const std::vector<HistoryCurve>& curves) {
    std::vector<HistoryTableRow> rows;
    for (const HistoryCurve& c : curves) {
        size_t drop = 0;
        for (size_t k = 0; k <= c.points.size(); ++k) {
            const int64_t t = k < c.points.size() ? c.points[k].time : INT64_MAX;
            for (; drop < c.dropOuts.size() && c.dropOuts[drop] <= t; ++drop)
                rows.push_back({historyTimeText(c.dropOuts[drop], true), c.label, "drop-out"});
            if (k == c.points.size())
                break;
            const HistoryPoint& p = c.points[k];
            std::string value = number(p.mean) + " Mbit/s";
            if (p.hourly)
                value += " (min " + number(p.min) + ", max " + number(p.max) + ")";
            // A raw sample to the second (cycles come seconds apart), an hour to the minute.
            rows.push_back(
                {historyTimeText(p.time, true) +
                     (p.hourly ? std::string() : historyTimeText(p.time, false).substr(5)),
                 c.label, value});
        }
    }
    return rows;
}

std::string historyCsv(const std::vector<HistoryCurve>& curves) {
    std::ostringstream out;
    out << "time,kind,interface,local_mac,remote_mac,name,family,min_mbps,mean_mbps,max_mbps,"
           "samples,seen_s\n";
    for (const HistoryCurve& c : curves) {
        const std::string head = csvField(c.link.interfaceName) + "," + formatMac(c.link.localMac) +
                                 "," + formatMac(c.link.remoteMac) + "," + csvField(c.label) + "," +
                                 familyText(c.link.family);
        size_t drop = 0;
        for (size_t k = 0; k <= c.points.size(); ++k) {
            const int64_t t = k < c.points.size() ? c.points[k].time : INT64_MAX;
            for (; drop < c.dropOuts.size() && c.dropOuts[drop] <= t; ++drop)
                out << isoUtc(c.dropOuts[drop]) << ",dropout," << head << ",,,,,\n";
            if (k == c.points.size())
                break;
            const HistoryPoint& p = c.points[k];
            out << isoUtc(p.time) << "," << (p.hourly ? "hour" : "sample") << "," << head << ","
                << number(p.min) << "," << number(p.mean) << "," << number(p.max) << "," << p.count
                << "," << p.seen << "\n";
        }
    }
    return out.str();
}

std::string historyNoteText() {
    const HistoryRecorderStatus& s = historyRecorderStatus();
    if (!s.started)
        return "History recording is off.";
    if (s.note.empty())
        return {};
    return "History recording paused: " + s.note;
}
