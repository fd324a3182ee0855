// Keeps a flood of refusals (refused connections, failed logons, failed credential checks,
// handshake time-outs) from flooding the log. Per reason and peer host, the first few in a
// window are logged in full; the rest are only counted, and when the window has passed one line
// says how many there were:
//
//   refused 195 more connections from 10.1.2.3 (a wrong logon token) in the last 10 s
//
// Pure: the caller passes the time and logs the lines. Not thread-safe: one owner (the
// listener's loop) uses it.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qdo::server {

class TRefusalLog {
public:
    using Clock = std::chrono::steady_clock;

    // Logs `inFull` refusals per reason and host in each `window` in full. At most `maxKeys`
    // reason and host pairs are told apart; refusals beyond go under the host "other hosts", so
    // that many hosts cannot make this grow without bound.
    explicit TRefusalLog(size_t inFull = 5, Clock::duration window = std::chrono::seconds(10),
                         size_t maxKeys = 1024);

    // Counts a refusal of `peer` ("HOST:PORT"; grouped by HOST) for `reason`. True when the
    // caller logs it in full now; false when it is only counted, for a summary line later.
    // Summaries of windows that ended before `now` come out of TakeSummaries first.
    bool Note(std::string_view peer, std::string_view reason, Clock::time_point now);

    // The summary lines of the windows that have ended by `now` (all when `all`, as when the
    // server stops). A window in which nothing was left out ends without a line.
    std::vector<std::string> TakeSummaries(Clock::time_point now, bool all = false);

    // When the earliest window with counted refusals ends; none when there is no such window.
    std::optional<Clock::time_point> NextSummary() const;

private:
    struct TWindow {
        Clock::time_point Start;
        size_t Logged = 0;
        size_t Counted = 0; // refusals not logged in full
    };
    using TKey = std::pair<std::string, std::string>; // host, reason

    std::string Summary(const TKey& key, const TWindow& window, Clock::time_point now) const;

    size_t inFull_;
    Clock::duration window_;
    size_t maxKeys_;
    std::map<TKey, TWindow> windows_;
    std::vector<std::string> due_; // summaries of windows that a new refusal ended
};

} // namespace qdo::server
