// A job: the process that serves one client's session with GT.M.
#pragma once

#include "server/Engine.h"
#include "server/OutputPipe.h"
#include "server/RequestReader.h"

#include <cstddef>
#include <string>

namespace qdo::server {

struct TJobSettings {
    std::string DataDirectory;
    size_t MaxRequest = 0;
    int HandshakeTimeoutMs = 10000;
    int IdleTimeoutMs = 0; // 0: an attached client may stay idle for ever
};

class TJob {
public:
    // Sets up the process (output pipe, GT.M) for serving.
    explicit TJob(const TJobSettings& settings);
    // Ends GT.M with the termination signals held (they end the process soon after anyway).
    ~TJob();
    TJob(const TJob&) = delete;
    TJob& operator=(const TJob&) = delete;

    // Redirect handshake: waits on `jobListener` for the client's logon with `token`, answers
    // it with a new session identifier, and serves that connection. Other connections to the
    // port are refused while the session is attached. Returns the process's exit status.
    int ServeAfterLogon(int jobListener, const std::string& token);
    // Serves a connection whose client the listener has accepted already.
    int Serve(int client, int jobListener = -1);

private:
    // Runs one request; false when the connection must close.
    bool Handle(int client, const TRequest& request);
    void Read(int client, const std::string& expression);
    void Write(int client, const std::string& name, const std::string& value);
    void Kill(int client, const std::string& name);
    void Execute(int client, const std::string& line, bool terminal);
    void GroupRead(int client, const std::string& list);
    // Switches the namespace; false with `error` set when there is no such namespace.
    bool SwitchNamespace(const std::string& name, TMError& error);
    // Sends the reply built so far, then empties it.
    void SendReply(int client);
    void ReplyError(int client, const TMError& error);

    TJobSettings settings_;
    TRequestReader reader_;
    TOutputPipe output_;
    TEngine engine_;
    std::string reply_;
    std::string nameSpace_ = "%SYS";
};

} // namespace qdo::server
