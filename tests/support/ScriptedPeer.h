// A scripted server for connection tests: a loopback listener whose thread plays a script of
// sends (split at chosen byte positions, with pauses between the pieces), expectations of what
// the client sends, closes and resets, and records every byte the client sent, so that tests
// assert exact bytes both ways.
//
// The peer accepts its first connection before the first step. After the last step it goes on
// recording what the client sends until it is destroyed, so that a test also sees bytes the
// client should not have sent.
#pragma once

#include "support/Bytes.h"
#include "support/Loopback.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qdo::test {

class ScriptedPeer {
public:
    struct Step {
        enum Kind { Send, Expect, Receive, Close, Reset, Accept, Pause } kind;
        std::string bytes;
        std::vector<size_t> splits; // Send: cut before these positions
        int pauseMs = 0;            // Send: between pieces; Pause: how long
        size_t count = 0;           // Receive: how many bytes
    };

    // Sends `bytes`, in pieces cut before each position of `splits`, pausing between pieces so
    // that each arrives on its own.
    static Step Send(std::string bytes, std::vector<size_t> splits = {}, int pauseMs = 30) {
        return {Step::Send, std::move(bytes), std::move(splits), pauseMs, 0};
    }
    // The client must send exactly these bytes next (a mismatch is recorded as a failure).
    static Step Expect(std::string bytes) { return {Step::Expect, std::move(bytes), {}, 0, 0}; }
    // Takes the next `count` bytes, whatever they are.
    static Step Receive(size_t count) { return {Step::Receive, {}, {}, 0, count}; }
    // Closes the connection in order / with a reset.
    static Step Close() { return {Step::Close, {}, {}, 0, 0}; }
    static Step Reset() { return {Step::Reset, {}, {}, 0, 0}; }
    // Waits for the client's next connection and makes it the current one.
    static Step Accept() { return {Step::Accept, {}, {}, 0, 0}; }
    static Step Pause(int ms) { return {Step::Pause, {}, {}, ms, 0}; }

    explicit ScriptedPeer(std::vector<Step> script) : script_(std::move(script)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedPeer() {
        stop_ = true;
        thread_.join();
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t Port() const { return listener_.Port(); }
    int32_t PortNumber() const { return static_cast<int32_t>(listener_.Port()); }

    // Waits until the script has been played (or 10 seconds passed); true when it has.
    bool WaitForScript() {
        std::unique_lock lock(mutex_);
        return done_changed_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; });
    }
    // Everything the client sent, on all connections, in order.
    std::string Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // What did not go as the script said.
    std::vector<std::string> Failures() {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    // The number of connections accepted.
    int Connections() {
        std::lock_guard lock(mutex_);
        return connections_;
    }
    // Waits until the client has closed the current connection after the script was played
    // (or 5 seconds passed); true when it has.
    bool WaitForClientClose() {
        std::unique_lock lock(mutex_);
        return done_changed_.wait_for(lock, std::chrono::seconds(5),
                                      [this] { return clientClosed_; });
    }

private:
    void Fail(std::string what) {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::move(what));
    }
    void Record(const std::string& bytes) {
        std::lock_guard lock(mutex_);
        received_ += bytes;
    }
    bool AcceptNext() {
        for (int waited = 0; waited < 10000 && !stop_; waited += 100) {
            Fd next = listener_.Accept(100);
            if (next.get() >= 0) {
                current_ = std::move(next);
                std::lock_guard lock(mutex_);
                ++connections_;
                return true;
            }
        }
        Fail("no connection came");
        return false;
    }
    // Reads exactly `count` bytes (or what comes within 5 seconds).
    std::string Take(size_t count) {
        std::string bytes;
        for (int waited = 0; bytes.size() < count && waited < 5000 && !stop_; waited += 50)
            bytes += ReadBytes(current_.get(), count - bytes.size(), 50);
        Record(bytes);
        return bytes;
    }
    void SendPieces(const Step& step) {
        size_t start = 0;
        std::vector<size_t> cuts = step.splits;
        cuts.push_back(step.bytes.size());
        for (size_t cut : cuts) {
            if (cut <= start || cut > step.bytes.size())
                continue;
            if (start > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
            try {
                SendAll(current_.get(), step.bytes.substr(start, cut - start));
            } catch (const std::exception&) {
                Fail("send failed");
                return;
            }
            start = cut;
        }
    }

    void Run() {
        if (AcceptNext()) {
            for (const Step& step : script_) {
                if (stop_)
                    break;
                switch (step.kind) {
                case Step::Send:
                    SendPieces(step);
                    break;
                case Step::Expect: {
                    std::string got = Take(step.bytes.size());
                    if (got != step.bytes)
                        Fail("expected " + ToHex(step.bytes) + " got " + ToHex(got));
                    break;
                }
                case Step::Receive:
                    Take(step.count);
                    break;
                case Step::Close:
                    current_.Reset();
                    break;
                case Step::Reset: {
                    linger abort{1, 0};
                    setsockopt(current_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                    current_.Reset();
                    break;
                }
                case Step::Accept:
                    AcceptNext();
                    break;
                case Step::Pause:
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
                    break;
                }
            }
        }
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            done_changed_.notify_all();
        }
        // Keep recording until the test is over (or the client closes).
        char block[65536];
        while (!stop_ && current_.get() >= 0) {
            pollfd watched{current_.get(), POLLIN, 0};
            if (::poll(&watched, 1, 20) <= 0)
                continue;
            ssize_t n = ::recv(current_.get(), block, sizeof block, 0);
            if (n <= 0) {
                std::lock_guard lock(mutex_);
                clientClosed_ = true;
                done_changed_.notify_all();
                break;
            }
            Record(std::string(block, static_cast<size_t>(n)));
        }
    }

    Listener listener_;
    std::vector<Step> script_;
    Fd current_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    bool clientClosed_ = false;
    std::string received_;
    std::vector<std::string> failures_;
    int connections_ = 0;
};

// A NUL byte, for building expected bytes: "<OK>" + Nul.
inline const std::string Nul(1, '\0');

} // namespace qdo::test
