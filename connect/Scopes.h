// Scopes that hold a connection for an operation. Internal to the library.
#pragma once

#include "connect/Qdoconnect.h"
#include "connect/Wire.h"

namespace qdo {

// While a scope holds one, the connection's socket blocks and idle notifications are off;
// leaving the scope, normally or by an exception, lowers the count again. (SetBlocked never
// throws: it swallows failures of the block-mode switch.)
class TBusyScope {
public:
    explicit TBusyScope(TQdoConnect& connect) : connect_(connect) { connect_.SetBlocked(true); }
    ~TBusyScope() { connect_.SetBlocked(false); }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    TQdoConnect& connect_;
};

// Holds the connection for the calling thread. The raising form refuses (ceBusy) when another
// thread holds it or a request's reply is running on this one; the trying form (for the idle
// path) just reports that, through its boolean value.
class TUseScope {
public:
    explicit TUseScope(TQdoConnect& connect)
        : wire_(detail::TConnectWire::Of(connect)), held_(true) {
        wire_.EnterUse();
    }
    TUseScope(TQdoConnect& connect, std::nothrow_t) noexcept
        : wire_(detail::TConnectWire::Of(connect)),
          held_(wire_.TryEnterUse() == detail::TConnectWire::TUse::Entered) {}
    ~TUseScope() {
        if (held_)
            wire_.LeaveUse();
    }
    TUseScope(const TUseScope&) = delete;
    TUseScope& operator=(const TUseScope&) = delete;

    explicit operator bool() const noexcept { return held_; }

private:
    detail::TConnectWire& wire_;
    bool held_;
};

// A request from the application: the connection for this thread, then the busy count.
class TRequestScope {
public:
    explicit TRequestScope(TQdoConnect& connect) : use_(connect), busy_(connect) {}

private:
    TUseScope use_;
    TBusyScope busy_;
};

// Bounds the waits of a session step or a request for the life of the scope: a wait for data
// that is still going on at `limitMs` milliseconds from now fails with ceTimeOut. A limit of 0
// or below adds none. An outer limit stays in force: nested scopes never extend it. While a
// server of the list is tried, the end of its try comes first when it is earlier, and the
// time-out then names the try.
class TWaitScope {
public:
    TWaitScope(TQdoConnect& connect, int32_t limitMs, const char* what, bool sessionStep)
        : wire_(detail::TConnectWire::Of(connect)), saved_(wire_.waitLimit_) {
        if (limitMs <= 0 || saved_.Deadline)
            return;
        detail::TConnectWire::TWaitLimit& limit = wire_.waitLimit_;
        limit.Deadline = detail::TConnectWire::Clock::now() + std::chrono::milliseconds(limitMs);
        limit.LimitMs = limitMs;
        limit.What = what;
        limit.SessionStep = sessionStep;
        const detail::TConnectWire::TWaitLimit& trying = wire_.tryLimit_;
        if (trying.Deadline && *trying.Deadline < *limit.Deadline) {
            limit.Deadline = trying.Deadline;
            limit.LimitMs = trying.LimitMs;
            limit.What = trying.What;
        }
    }
    ~TWaitScope() { wire_.waitLimit_ = saved_; }
    TWaitScope(const TWaitScope&) = delete;
    TWaitScope& operator=(const TWaitScope&) = delete;

private:
    detail::TConnectWire& wire_;
    detail::TConnectWire::TWaitLimit saved_;
};

} // namespace qdo
