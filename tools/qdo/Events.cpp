#include "tools/qdo/Events.h"

#include "classes/NotificationLoop.h"
#include "encodings/Mutils.h"
#include "tools/qdo/Display.h"
#include "tools/qdo/Interrupt.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace qdo::tool {

namespace {

using Clock = std::chrono::steady_clock;

// The local variable that carries an event's parameters to the server for the time of a send.
constexpr const char* paramsVariable = "%qdoToolEventParams";

// Unsubscribes from `events`, the first failure (if any) going to the caller after all were
// tried.
void UnsubscribeAll(TQdoConnect& connect, const std::vector<std::string>& events) {
    std::exception_ptr failure;
    for (const std::string& event : events) {
        try {
            TRequestInterruptScope interruptible(connect.Socket()->SocketHandle());
            connect.UnsubscribeEvent(event);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

enum class TWaitEnd { Count, Interrupt, Time };

// Pumps the notification loop, through which events reach OnServerEvent between requests,
// until `done` says so, Ctrl-C comes, or the time is up.
template <typename Done>
TWaitEnd WaitForEvents(TQdoConnect& connect, const TListenOptions& options, Done done) {
    const int loop = NotificationFileDescriptor();
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.Seconds));
    while (!done()) {
        if (InterruptPending())
            return TWaitEnd::Interrupt;
        if (!connect.Active()) // closed while the loop read what the server sent
            throw EMConnectionLost("the server closed the connection while listening");
        int waitMs = -1;
        if (options.Seconds > 0) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return TWaitEnd::Time;
            waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        // The socket is watched for the server's end only: its bytes are the loop's to read.
        pollfd watched[] = {{loop, POLLIN, 0},
                            {InterruptDescriptor(), POLLIN, 0},
                            {connect.Socket()->SocketHandle(), POLLRDHUP, 0}};
        if (::poll(watched, 3, waitMs) < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (watched[0].revents != 0)
            ProcessMessages(); // what the server sent before it closed goes out first
        else if (watched[2].revents != 0)
            throw EMConnectionLost("the server closed the connection while listening");
    }
    return TWaitEnd::Count;
}

} // namespace

std::string EventLine(std::string_view name, std::string_view params, const TOutput& output) {
    if (output.Json)
        return "{\"event\": " + JsonString(name) + ", \"params\": " + JsonString(params) + "}\n";
    if (output.Raw)
        return std::string(name) + " " + std::string(params) + "\n";
    return Shown(name) + " " + Shown(params) + "\n";
}

void Listen(TQdoConnect& connect, const std::vector<std::string>& events,
            const TListenOptions& options, const TOutput& output) {
    CatchInterrupts();
    const std::set<std::string> names(events.begin(), events.end());
    int64_t printed = 0;
    bool listening = true;
    connect.OnServerEvent = [&](TObject*, const std::string& name, const std::string& params) {
        // An event of a subscription that was not ours (left from an earlier listen), or one
        // that comes once enough did, is acknowledged and dropped.
        if (!listening || names.count(name) == 0 || (options.Count > 0 && printed >= options.Count))
            return;
        const std::string line = EventLine(name, params, output);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        ++printed;
    };
    struct TForgetHandler {
        TQdoConnect& Connect;
        ~TForgetHandler() { Connect.OnServerEvent = nullptr; }
    } forget{connect};

    std::vector<std::string> subscribed;
    TWaitEnd end;
    try {
        for (const std::string& name : names) {
            TRequestInterruptScope interruptible(connect.Socket()->SocketHandle());
            connect.SubscribeEvent(name, true);
            subscribed.push_back(name);
        }
        if (isatty(2) != 0)
            std::fprintf(stderr, "listening to %zu event%s; Ctrl-C stops\n", names.size(),
                         names.size() == 1 ? "" : "s");
        end = WaitForEvents(connect, options,
                            [&] { return options.Count > 0 && printed >= options.Count; });
    } catch (...) {
        listening = false;
        if (connect.Active()) {
            try {
                UnsubscribeAll(connect, subscribed);
            } catch (const std::exception&) {
                // The first failure is the one to report.
            }
        }
        throw;
    }
    listening = false;
    if (end == TWaitEnd::Interrupt) {
        ClearInterrupt(); // it ended the wait; a second Ctrl-C may still end the unsubscribe
        if (isatty(2) != 0)
            std::fputc('\n', stderr); // after the terminal's ^C
    }
    UnsubscribeAll(connect, subscribed);
    if (end == TWaitEnd::Time && options.Count > 0)
        throw std::runtime_error(std::to_string(printed) + " of " + std::to_string(options.Count) +
                                 " events came within the time-out");
}

int32_t Send(TQdoConnect& connect, const std::string& event, const std::string& params) {
    connect.Write(paramsVariable, params);
    std::string reached;
    try {
        reached = connect.Read("$$SendMsg^qdosrv(" + MText(event) + "," + paramsVariable + ")");
    } catch (...) {
        try {
            if (connect.Active())
                connect.Kill(paramsVariable);
        } catch (const std::exception&) {
            // The send's failure is the one to report.
        }
        throw;
    }
    connect.Kill(paramsVariable);
    return std::stoi(reached);
}

} // namespace qdo::tool
