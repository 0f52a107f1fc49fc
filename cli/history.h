#pragma once
// `halyardctl history`: the link history file read back.
//
//   halyardctl history [MAC ...] [--since WHEN] [--until WHEN] [--json | --csv] [--summary]
//   halyardctl history --from MAC --to MAC [--since WHEN] [--until WHEN] [--json | --csv]
//   [--summary]
//
// WHEN is an ISO-8601 time ("2026-03-01", "2026-03-01T18:00", "...T18:00:00Z",
// "...+01:00"; without a zone it is local time) or a span back from now: a
// whole number with s, m, h, d or w ("90m", "24h", "7d"). --since defaults to
// 24 hours back, --until to now. A MAC picks the links whose remote or local
// adapter it is. --from and --to pick one pair of adapters: the rate from the
// first to the second, as the network map measured it (or the local adapter's
// link when the first is the local adapter). The command only reads the file:
// it runs beside the window.
#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace halyardctl {

struct Environment;
struct Options;

struct HistoryOptions {
    std::vector<std::array<uint8_t, 6>> macs;
    std::optional<std::string> since, until;
    // --from and --to: one pair, the rate from one adapter to the other.
    std::optional<std::array<uint8_t, 6>> from, to;
    bool csv = false;
    bool summary = false;
};

// The arguments after "history". Sets `json` for --json. False with the reason.
bool parseHistoryArguments(const std::vector<std::string>& args, bool& json,
                           HistoryOptions& options, std::string& error);

// A WHEN argument as UTC seconds, spans counted back from `now`. False with the reason.
bool parseWhen(const std::string& text, int64_t now, int64_t& out, std::string& error);

// "2026-03-01T18:00:00Z"
std::string isoUtc(int64_t seconds);

int runHistory(const Options& options, std::ostream& out, std::ostream& err,
               const Environment& env);

} // namespace halyardctl
