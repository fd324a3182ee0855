#include "server/RefusalLog.h"

#include "server/LogText.h"

#include <algorithm>

namespace qdo::server {

namespace {

const char otherHosts[] = "other hosts";

} // namespace

TRefusalLog::TRefusalLog(size_t inFull, Clock::duration window, size_t maxKeys)
    : inFull_(inFull), window_(window), maxKeys_(maxKeys) {}

bool TRefusalLog::Note(std::string_view peer, std::string_view reason, Clock::time_point now) {
    TKey key{PeerHost(peer), std::string(reason)};
    auto it = windows_.find(key);
    if (it != windows_.end() && now - it->second.Start >= window_) {
        if (it->second.Counted > 0)
            due_.push_back(Summary(it->first, it->second, now));
        windows_.erase(it);
        it = windows_.end();
    }
    if (it == windows_.end()) {
        if (windows_.size() >= maxKeys_) {
            // Ended windows make room first; else the refusal counts under "other hosts".
            TakeSummaries(now);
            if (windows_.size() >= maxKeys_)
                key.first = otherHosts;
            it = windows_.find(key);
        }
        if (it == windows_.end())
            it = windows_.emplace(std::move(key), TWindow{now}).first;
    }
    TWindow& window = it->second;
    if (window.Logged < inFull_) {
        ++window.Logged;
        return true;
    }
    ++window.Counted;
    return false;
}

std::vector<std::string> TRefusalLog::TakeSummaries(Clock::time_point now, bool all) {
    std::vector<std::string> lines = std::move(due_);
    due_.clear();
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (!all && now - it->second.Start < window_) {
            ++it;
            continue;
        }
        if (it->second.Counted > 0)
            lines.push_back(Summary(it->first, it->second, now));
        it = windows_.erase(it);
    }
    return lines;
}

std::optional<TRefusalLog::Clock::time_point> TRefusalLog::NextSummary() const {
    std::optional<Clock::time_point> first;
    for (const auto& [key, window] : windows_)
        if (window.Counted > 0 && (!first || window.Start + window_ < *first))
            first = window.Start + window_;
    return first;
}

std::string TRefusalLog::Summary(const TKey& key, const TWindow& window,
                                 Clock::time_point now) const {
    const auto span = std::chrono::duration_cast<std::chrono::seconds>(
        std::min(now - window.Start, window_) + std::chrono::milliseconds(999));
    return "refused " + std::to_string(window.Counted) + " more connection" +
           (window.Counted == 1 ? "" : "s") + " from " + key.first + " (" + key.second +
           ") in the last " + std::to_string(std::max<long long>(1, span.count())) + " s";
}

} // namespace qdo::server
