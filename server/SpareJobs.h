// The listener's spare jobs: processes that have started GT.M before any client needs them,
// each waiting on the listener's end of its control socket for a session (see Handover.h). A
// spare says it is ready with one byte on its control once GT.M has started; only a ready one
// is handed a session, so that a spare that cannot start never takes a client with it.
//
// Spares are topped up after each one is handed a session. Should spares keep ending before
// they serve (GT.M cannot start, say), the listener stops starting them and forks each job when
// its session is real, so that the client hears why it gets no job.
#pragma once

#include "server/UniqueFd.h"

#include <deque>
#include <optional>
#include <set>
#include <sys/types.h>

namespace qdo::server {

class TSpareJobs {
public:
    struct TSpare {
        pid_t Pid = -1;
        TUniqueFd Control; // the listener's end
        bool Ready = false;
    };

    explicit TSpareJobs(int wanted) : wanted_(wanted) {}
    TSpareJobs(const TSpareJobs&) = delete;
    TSpareJobs& operator=(const TSpareJobs&) = delete;

    // How many to start now to have the number wanted.
    int Missing() const;
    void Add(pid_t pid, TUniqueFd control);
    // The ready spare started first, no longer counted here, with its control.
    // Spares found gone on the way are dropped and count as failures.
    std::optional<TSpare> Take();
    // A child process ended: NotSpare, or a spare, which is then forgotten: Failed when it
    // ended before it served (after three failures in a row, no more are started), Released
    // when it ended after Release. A spare has opened no database, however it ends.
    enum class TEnd { NotSpare, Failed, Released };
    TEnd Ended(pid_t pid);
    // A spare taken could not be handed its session: it counts as a failure too.
    void Failed();
    // A spare taken was handed its session: failures start counting again from none.
    void Served() { failures_ = 0; }
    // True once spares have failed too often.
    bool GivenUp() const { return failures_ >= maxFailures; }

    // At stop: closes every control (the spares end as they see it) and starts no more.
    void Release();
    // Closes every control as Release does, and goes on starting spares: the next ones start
    // from what the listener holds now (its TLS certificate, after a reload).
    void Renew();
    // Whether spares released have not ended yet.
    bool Ending() const { return !released_.empty(); }
    // In a newly forked child: closes the child's copies of the controls, which would keep a
    // spare from seeing the listener close its control.
    void CloseInChild();

private:
    static constexpr int maxFailures = 3;
    // Reads the spare's ready byte if it has come; false when the spare is gone.
    static bool CheckReady(TSpare& spare);
    int wanted_;
    int failures_ = 0;
    std::deque<TSpare> spares_;
    std::set<pid_t> released_;
};

} // namespace qdo::server
