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
// A send that fails (the client is gone, or took nothing for the job's send time-out, set on its
// socket) loses the client: the socket is shut down, which also ends a receive that waits on it,
// and every later send fails at once instead of waiting again, until the next client is taken.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qdo::server {

class TOutputPipe {
public:
    // Makes descriptor 1 the pipe. Must run before GT.M starts.
    TOutputPipe();

    // Starts the thread that reads the pipe (with all signals blocked, so that they reach the
    // job's main thread), before the first request.
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

    // Sends bytes to the client; false when it is lost.
    bool Send(int client, std::string_view bytes);
    // Sends a whole frame that the job pushes of its own accord, ending a terminal stream that
    // runs first; false when the client is gone.
    bool SendPushed(int client, std::string_view frame);

    // Whether a send to the client failed, and with which errno (EAGAIN: its time-out).
    bool Lost() const { return lost_; }
    int LostError() const { return lostError_; }
    // A new client (a re-attach) is taken: sends go out again.
    void TakeClient();

private:
    enum class TMode { Discard, Collect, Stream };
    void Begin(TMode mode, int client);
    void ReadLoop();
    void DrainLocked();
    void TakeLocked(const char* bytes, size_t count);
    bool SendLocked(int client, std::string_view bytes);

    int readEnd_ = -1;
    std::mutex mutex_;
    TMode mode_ = TMode::Discard;
    int client_ = -1;
    std::string collected_;   // output taken in and not sent yet
    bool streamOpen_ = false; // Stream mode, and its NUL has not been sent
    std::atomic<bool> lost_ = false;
    std::atomic<int> lostError_ = 0;
    std::thread reader_;
};

} // namespace qdo::server
