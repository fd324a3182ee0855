// What M code WRITEs, on its way to the client.
//
// A job's standard output is a pipe that a thread of its own reads: GT.M writes each WRITE
// argument into it at once, and the thread passes the bytes on as the running request wants:
// dropped, gathered into "<GO ON>" chunks (sent as each fills), or streamed raw as terminal
// output. Every write to the client socket goes through Send, under one lock, so that output
// and replies never interleave.
//
// Terminal output is sent once the line has written nothing more for a few milliseconds, so
// that the pieces of one WRITE (its arguments, its line feed) reach the client as one piece,
// and output written just before the line ends goes out together with the end of the stream.
//
// A message pushed while a terminal stream runs (an event, a callback request) ends the stream
// first: the text so far and its NUL go out, and what the line writes after that is gathered
// into chunks, as for a request without terminal output.
//
// Sends go through the job's client channel, whose lock also guards the state here (the mode,
// what was gathered), so that output taken in and sent keeps its order against replies and
// pushed messages.
#pragma once

#include "server/ClientChannel.h"
#include "server/PipeReader.h"
#include "server/UniqueFd.h"

#include <string>
#include <string_view>

namespace qdo::server {

class TOutputPipe {
public:
    // Makes descriptor 1 the pipe. Must run before GT.M starts. Sends go through `channel`.
    explicit TOutputPipe(TClientChannel& channel);

    // Starts the thread that reads the pipe, before the first request; it is stopped and joined
    // when this goes.
    void StartReader();
    TOutputPipe(const TOutputPipe&) = delete;
    TOutputPipe& operator=(const TOutputPipe&) = delete;

    // How the output of the request that starts now goes to `client`. Output left over from
    // earlier requests is dropped first.
    void Collect(int client);
    void Stream(int client);
    // Ends the request's output: takes in what is still in the pipe, leaves in `rest` what was
    // gathered and not sent yet, and goes back to dropping output. True when `rest` is terminal
    // text of a stream still open; false when it is chunk bytes.
    bool Finish(std::string& rest);

    // Sends a whole frame that the job pushes of its own accord, ending a terminal stream that
    // runs first; false when the client is gone.
    bool SendPushed(int client, std::string_view frame);

private:
    enum class TMode { Discard, Collect, Stream };
    void Begin(TMode mode, int client);
    // The reader thread's handler (see PipeReader.h).
    int OnPipe(bool readable);
    void DrainLocked();
    void TakeLocked(const char* bytes, size_t count);

    TClientChannel& channel_;
    TUniqueFd readEnd_;
    // Under the channel's lock:
    TMode mode_ = TMode::Discard;
    int client_ = -1;
    std::string collected_;   // output taken in and not sent yet
    bool streamOpen_ = false; // Stream mode, and its NUL has not been sent
    TPipeReader reader_;      // last: stopped before the rest goes
};

} // namespace qdo::server
