// How the processes of a server find and tell each other things: the run directory of a data
// directory, and the datagrams that jobs receive in their mailboxes.
//
//   DIR/run/job-<pid>.box            a job's mailbox (a datagram socket)
//   DIR/run/job-<pid>.evt            a job's mailbox for events, read only while it can deliver
//   DIR/run/session-<session>        "<pid> <port> attached|detached": where a session lives
//   DIR/run/event-<hex name>/<pid>   a job subscribed to the event
//   DIR/run/call-<pid>-<n>.box       where a process waits for the answer of a client call
//
// Any process of the server's user that uses the data directory may send: the listener (cancel,
// attach), jobs and plain M processes (events, client calls). Every message fits one datagram.
// This code lives in the server's M-calls library, which jobs and M processes share.
#pragma once

#include "server/UniqueFd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace qdo::server {

// A message of a mailbox: a kind and up to two texts.
struct TMailMessage {
    enum TKind : char {
        Event = 'E',      // First: event name, Second: its parameters
        ClientCall = 'C', // First: where to answer, Second: the command for the client
        Answer = 'R',     // First: an error code ("" on success), Second: the client's answer
        Cancel = 'X',     // stop the running group read
        Attach = 'A',     // First: a one-use logon token for re-attaching the session
    };
    TKind Kind = Event;
    std::string First;
    std::string Second;
};

// The most bytes of a message's texts together: what one frame to the client can carry.
inline constexpr size_t MaxMailText = 32700;

// A message as a datagram: kind, then each text as a 4-byte little-endian length and its bytes.
std::string EncodeMail(const TMailMessage& message);
// The message of a datagram; nothing for bytes that are not one.
std::optional<TMailMessage> DecodeMail(std::string_view datagram);

class TRunDirectory {
public:
    // The run directory of the data directory `dataDirectory`.
    explicit TRunDirectory(std::string dataDirectory);
    // The run directory of this process's data directory: $qdo_data, or else the folder of
    // $gtmgbldir; nothing when neither is set.
    static std::optional<TRunDirectory> OfThisProcess();

    const std::string& Path() const noexcept { return path_; }
    // Empties the directory (a server starts afresh: whatever was there belongs to the last).
    void Reset() const;

    std::string MailboxOf(pid_t pid) const;
    std::string EventBoxOf(pid_t pid) const;
    std::string SessionFile(std::string_view session) const;
    std::string EventFolder(std::string_view name) const;

    // Binds a mailbox at `path`; its descriptor. Fails with std::runtime_error.
    static TUniqueFd OpenMailbox(const std::string& path);
    // Sends `message` to the mailbox at `path`, waiting at most `waitMs` for room; false when
    // there is no such mailbox (its process is gone) or it stayed full.
    static bool Post(const std::string& path, const TMailMessage& message, int waitMs);
    // The next message of a mailbox, waiting at most `waitMs` (0: not at all, -1: for ever).
    static std::optional<TMailMessage> Receive(int mailbox, int waitMs);

    // Where a session lives, as its job recorded it.
    struct TSessionPlace {
        pid_t Pid = 0;
        uint16_t Port = 0;
        bool Attached = false;
    };
    void RecordSession(std::string_view session, const TSessionPlace& place) const;
    std::optional<TSessionPlace> FindSession(std::string_view session) const;
    void ForgetSession(std::string_view session) const;

    // Event subscriptions: (un)marks `pid` as subscribed to `name`; the pids subscribed.
    void Subscribe(std::string_view name, pid_t pid, bool on) const;
    std::vector<pid_t> Subscribers(std::string_view name) const;

private:
    std::string path_;
};

// The longest event name: its folder's name is its hexadecimal form.
inline constexpr size_t MaxEventName = 100;

// Whether `session` can be a session identifier (so that it can name a file): 1 to 64 letters
// and digits.
bool IsSessionName(std::string_view session) noexcept;

} // namespace qdo::server
