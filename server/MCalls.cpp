#include "server/MCalls.h"

#include "server/Mailbox.h"
#include "server/StopSignals.h"

extern "C" {
#include "gtmxc_types.h" // has no extern "C" of its own
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace qdo::server {

namespace {

TJobHooks* jobHooks = nullptr;

std::string_view In(const gtm_string_t* text) {
    return text == nullptr || text->address == nullptr
               ? std::string_view()
               : std::string_view(text->address, static_cast<size_t>(text->length));
}

// Fills a preallocated output; `room` is the size the call-in table gives it.
void Out(gtm_string_t* out, std::string_view text, size_t room) {
    if (out == nullptr || out->address == nullptr)
        return;
    const size_t n = std::min(text.size(), room);
    std::memcpy(out->address, text.data(), n);
    out->length = static_cast<gtm_long_t>(n);
}

constexpr size_t errorRoom = 64;
constexpr size_t answerRoom = 1048576;

gtm_status_t Fail(gtm_string_t* error, std::string_view code) {
    Out(error, code, errorRoom);
    return 0; // the M routine raises the error: a nonzero status would say nothing of it
}

} // namespace

void SetJobHooks(TJobHooks* hooks) {
    jobHooks = hooks;
}

std::string MCallsLibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&SetJobHooks), &info) == 0 || info.dli_fname == nullptr)
        return {};
    return info.dli_fname;
}

} // namespace qdo::server

using namespace qdo::server;

extern "C" {

// SubsMsgs: (un)subscribes the job to an event.
__attribute__((visibility("default"))) gtm_status_t
qdo_subsmsgs(int, gtm_string_t* name, gtm_long_t on, gtm_long_t flag, gtm_string_t* error) {
    TStopSignalsHeld held; // a stop waits for the return to M (see StopSignals.h)
    Out(error, "", errorRoom);
    if (jobHooks == nullptr)
        return Fail(error, ErrorNotInJob);
    if (In(name).size() > MaxEventName)
        return Fail(error, ErrorEventTooLong);
    try {
        return Fail(error, jobHooks->Subscribe(In(name), on != 0, flag != 0));
    } catch (...) {
        return Fail(error, ErrorNoRunDirectory);
    }
}

// SendMsg: delivers an event to every job subscribed to it; `reached` says to how many.
__attribute__((visibility("default"))) gtm_status_t qdo_sendmsg(int, gtm_string_t* name,
                                                                gtm_string_t* params,
                                                                gtm_long_t* reached,
                                                                gtm_string_t* error) {
    TStopSignalsHeld held; // a stop waits for the return to M (see StopSignals.h)
    Out(error, "", errorRoom);
    if (reached != nullptr)
        *reached = 0;
    if (In(name).size() > MaxEventName || In(name).size() + In(params).size() > MaxMailText)
        return Fail(error, ErrorEventTooLong);
    try {
        const auto run = TRunDirectory::OfThisProcess();
        if (!run)
            return Fail(error, ErrorNoRunDirectory);
        const TMailMessage event{TMailMessage::Event, std::string(In(name)),
                                 std::string(In(params))};
        for (pid_t pid : run->Subscribers(In(name))) {
            // A job that is gone leaves its subscription behind only until the next send.
            if (TRunDirectory::Post(run->EventBoxOf(pid), event, 10000)) {
                if (reached != nullptr)
                    ++*reached;
            } else if (::kill(pid, 0) != 0 && errno == ESRCH) {
                run->Subscribe(In(name), pid, false);
            }
        }
        return 0;
    } catch (...) {
        return Fail(error, ErrorNoRunDirectory);
    }
}

// Callback: the client's answer to a command, asked while a request of this job runs.
__attribute__((visibility("default"))) gtm_status_t
qdo_callback(int, gtm_string_t* command, gtm_string_t* answer, gtm_string_t* error) {
    TStopSignalsHeld held; // a stop waits for the return to M (see StopSignals.h)
    Out(error, "", errorRoom);
    Out(answer, "", answerRoom);
    if (jobHooks == nullptr)
        return Fail(error, ErrorNotInJob);
    if (In(command).size() > MaxMailText)
        return Fail(error, ErrorCallbackTooLong);
    try {
        std::string text;
        const std::string code = jobHooks->Callback(In(command), text);
        Out(answer, text, answerRoom);
        return Fail(error, code);
    } catch (...) {
        return Fail(error, ErrorClientGone);
    }
}

// ClientCall: the answer of the idle client of a session to a command, from any process.
__attribute__((visibility("default"))) gtm_status_t
qdo_clientcall(int, gtm_string_t* session, gtm_string_t* command, gtm_long_t timeoutMs,
               gtm_string_t* answer, gtm_string_t* error) {
    TStopSignalsHeld held; // a stop waits for the return to M (see StopSignals.h)
    Out(error, "", errorRoom);
    Out(answer, "", answerRoom);
    if (In(command).size() > MaxMailText)
        return Fail(error, ErrorCallbackTooLong);
    try {
        const auto run = TRunDirectory::OfThisProcess();
        if (!run)
            return Fail(error, ErrorNoRunDirectory);
        const auto place = run->FindSession(In(session));
        if (!place)
            return Fail(error, ErrorNoSession);
        static std::atomic<int> calls = 0;
        const std::string replyBox = run->Path() + "/call-" + std::to_string(getpid()) + "-" +
                                     std::to_string(++calls) + ".box";
        const TUniqueFd replyMailbox = TRunDirectory::OpenMailbox(replyBox);
        const int reply = replyMailbox.Get();
        std::string code;
        std::string text;
        if (!TRunDirectory::Post(run->MailboxOf(place->Pid),
                                 {TMailMessage::ClientCall, replyBox, std::string(In(command))},
                                 1000)) {
            code = ErrorClientGone;
        } else if (const auto got = TRunDirectory::Receive(
                       reply, static_cast<int>(std::clamp<gtm_long_t>(timeoutMs, 1, 3600000)));
                   got && got->Kind == TMailMessage::Answer) {
            code = got->First;
            text = got->Second;
        } else {
            code = ErrorClientTimeOut;
        }
        ::unlink(replyBox.c_str());
        Out(answer, text, answerRoom);
        return Fail(error, code);
    } catch (...) {
        return Fail(error, ErrorNoRunDirectory);
    }
}

// Session: this job's session identifier ("" in a job without one, or outside a job).
__attribute__((visibility("default"))) gtm_status_t qdo_session(int, gtm_string_t* session) {
    Out(session, jobHooks != nullptr ? std::string_view(jobHooks->Session) : std::string_view(),
        errorRoom);
    return 0;
}

} // extern "C"
