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
#pragma once

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
    // job's main thread), before the first request. It also refuses, with "<NO SESSION>",
    // every connection to `jobListener` (when given): the port of a job whose session is
    // attached.
    void StartReader(int jobListener);
    TOutputPipe(const TOutputPipe&) = delete;
    TOutputPipe& operator=(const TOutputPipe&) = delete;

    // How the output of the request that starts now goes to `client`. Output left over from
    // earlier requests is dropped first.
    void Collect(int client);
    void Stream(int client);
    // Ends the request's output: takes in what is still in the pipe, returns what was gathered
    // and not sent yet (chunk bytes for Collect, terminal text for Stream), and goes back to
    // dropping output.
    std::string Finish();

    // Sends bytes to the client; false when it is gone.
    bool Send(int client, std::string_view bytes);

private:
    enum class TMode { Discard, Collect, Stream };
    void Begin(TMode mode, int client);
    void ReadLoop(int jobListener);
    void DrainLocked();
    void TakeLocked(const char* bytes, size_t count);

    int readEnd_ = -1;
    std::mutex mutex_;
    TMode mode_ = TMode::Discard;
    int client_ = -1;
    std::string collected_; // output taken in and not sent yet
    std::thread reader_;
};

} // namespace qdo::server
