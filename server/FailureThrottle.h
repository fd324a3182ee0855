// Throttles guessing: after `limit` failed logons from one host within `window`, every further
// attempt from that host is refused unchecked until its failures are older than the window.
// Pure bookkeeping, on a clock the caller passes in.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <string>

namespace qdo::server {

class TFailureThrottle {
public:
    using Clock = std::chrono::steady_clock;

    TFailureThrottle(int limit, Clock::duration window) : limit_(limit), window_(window) {}

    void RecordFailure(const std::string& host, Clock::time_point now) {
        auto& times = failures_[host];
        Forget(times, now);
        times.push_back(now);
    }

    bool IsThrottled(const std::string& host, Clock::time_point now) {
        const auto found = failures_.find(host);
        if (found == failures_.end())
            return false;
        Forget(found->second, now);
        if (found->second.empty()) {
            failures_.erase(found);
            return false;
        }
        return static_cast<int>(found->second.size()) >= limit_;
    }

private:
    void Forget(std::deque<Clock::time_point>& times, Clock::time_point now) const {
        while (!times.empty() && now - times.front() >= window_)
            times.pop_front();
    }

    int limit_;
    Clock::duration window_;
    std::map<std::string, std::deque<Clock::time_point>> failures_;
};

} // namespace qdo::server
