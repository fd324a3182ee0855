// Checks the credentials of create requests away from the listener's loop: a password hash
// takes tens of milliseconds and much memory by design, and the listener must keep answering
// everyone else meanwhile. One worker thread takes the checks in turn; the listener polls
// Descriptor() and collects the answers with TakeAnswers().
#pragma once

#include "server/Credentials.h"
#include "server/UniqueFd.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qdo::server {

class TCredentialChecker {
public:
    struct TAnswer {
        uint64_t Ticket;
        bool Accepted;
    };

    explicit TCredentialChecker(TCredentials credentials);
    ~TCredentialChecker();
    TCredentialChecker(const TCredentialChecker&) = delete;
    TCredentialChecker& operator=(const TCredentialChecker&) = delete;

    // Queues a check; its answer comes back with the ticket returned here.
    uint64_t Submit(std::string user, std::string password);
    // Readable while answers wait.
    int Descriptor() const { return wakeRead_.Get(); }
    std::vector<TAnswer> TakeAnswers();

private:
    struct TCheck {
        uint64_t Ticket;
        std::string User;
        std::string Password;
    };
    void Work();

    const TCredentials credentials_;
    TUniqueFd wakeRead_; // readable while answers wait
    TUniqueFd wakeWrite_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<TCheck> checks_;
    std::vector<TAnswer> answers_;
    uint64_t nextTicket_ = 1;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace qdo::server
