// A scripted server without sockets: the in-memory link (TTransport) that a test puts under a
// TQdoConnect, and the peer on its other end, which plays a script of the same steps as
// ScriptedPeer (support/ScriptedPeer.h) over two byte queues.
//
// The peer plays its script as far as it can whenever the client connects, sends or waits: a
// Send queues its pieces for the client (each piece reaches the client in a receive of its own,
// so a reply split at any byte is seen split, without pauses), an Expect or Receive waits until
// the client has sent that many bytes, an Accept until the client opens its next connection.
// Nothing runs on a thread of its own, and nothing sleeps: the only waits are the client's own,
// and they are honest: a client that waits for bytes the script does not give times out after
// its wait, measured on the clock; a Pause keeps the client's next receive waiting that long.
//
// A peer has a port number of its own (not a real port): a connection aimed at it reaches it,
// a connection aimed at a port without a peer is refused (10061), so a redirect between two
// peers, a reconnect and a side connection work as on loopback.
#pragma once

#include "classes/NotificationLoop.h"
#include "connect/ConnectInternals.h"
#include "connect/Transport.h"
#include "support/Bytes.h"
#include "support/ScriptedPeer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace qdo::test {

class MemoryPeer {
public:
    // The steps of a ScriptedPeer's script, played the same way.
    using Step = ScriptedPeer::Step;

    // Sends `bytes` in pieces cut before each position of `splits`; each piece reaches the
    // client in a receive of its own. A pause between pieces makes the client wait for each.
    static Step Send(std::string bytes, std::vector<size_t> splits = {}, int pauseMs = 0) {
        return {Step::Send, std::move(bytes), std::move(splits), pauseMs, 0};
    }
    // The client must send exactly these bytes next (a mismatch is recorded as a failure).
    static Step Expect(std::string bytes) { return {Step::Expect, std::move(bytes), {}, 0, 0}; }
    // Takes the next `count` bytes, whatever they are.
    static Step Receive(size_t count) { return {Step::Receive, {}, {}, 0, count}; }
    // Closes the connection in order (the client reads its end) / with a reset (the client's
    // receive and send fail with 10054).
    static Step Close() { return {Step::Close, {}, {}, 0, 0}; }
    static Step Reset() { return {Step::Reset, {}, {}, 0, 0}; }
    // Waits for the client's next connection and makes it the current one; the one before is
    // closed.
    static Step Accept() { return {Step::Accept, {}, {}, 0, 0}; }
    // Keeps the client's next receive waiting `ms` (on the idle path, nobody waits: it is over).
    static Step Pause(int ms) { return {Step::Pause, {}, {}, ms, 0}; }

    explicit MemoryPeer(std::vector<Step> script) : state_(std::make_shared<State>()) {
        state_->script = std::move(script);
        std::lock_guard lock(Registry().mutex);
        port_ = Registry().nextPort++;
        Registry().peers[port_] = state_;
    }
    ~MemoryPeer() {
        std::lock_guard lock(Registry().mutex);
        Registry().peers.erase(port_);
    }
    MemoryPeer(const MemoryPeer&) = delete;
    MemoryPeer& operator=(const MemoryPeer&) = delete;

    uint16_t Port() const { return port_; }
    int32_t PortNumber() const { return port_; }

    // Whether the whole script has been played. A script that waits for bytes the client has
    // not sent records that as a failure, as a peer on loopback would after its wait.
    bool WaitForScript() {
        std::lock_guard lock(state_->mutex);
        state_->Advance();
        if (!state_->Done() && state_->cursor < state_->script.size()) {
            const Step& step = state_->script[state_->cursor];
            if (step.kind == Step::Expect)
                state_->failures.push_back("expected " + ToHex(step.bytes) + " got " +
                                           ToHex(state_->Unread()));
        }
        return state_->Done();
    }
    // Everything the client sent on the connections this peer accepted, in order.
    std::string Received() {
        std::lock_guard lock(state_->mutex);
        return state_->received;
    }
    std::vector<std::string> Failures() {
        std::lock_guard lock(state_->mutex);
        return state_->failures;
    }
    // The number of connections the client opened to this peer.
    int Connections() {
        std::lock_guard lock(state_->mutex);
        return static_cast<int>(state_->links.size());
    }
    // Whether the client's last connection to this peer is open on the client's side.
    bool ClientOpen() {
        std::lock_guard lock(state_->mutex);
        return !state_->links.empty() && state_->links.back().clientOpen;
    }
    // Whether the client's last connection notifies (the connection is idle) rather than
    // blocks.
    bool ClientNotifying() {
        std::lock_guard lock(state_->mutex);
        return !state_->links.empty() && state_->links.back().notifying;
    }
    // Each send of the client takes at most `bytes` bytes from now on (0: all it is given).
    void LimitSends(size_t bytes) {
        std::lock_guard lock(state_->mutex);
        state_->sendLimit = bytes;
    }

    class Link;

private:
    using Clock = std::chrono::steady_clock;

    // What the client's end of a connection receives next.
    struct Item {
        enum Kind { Bytes, Pause, Close, Reset } kind;
        std::string bytes;
        int pauseMs = 0;
        std::optional<Clock::time_point> until; // a pause, once the client has reached it
    };
    struct Connection {
        std::deque<Item> inbound;
        bool clientOpen = true;
        bool peerClosed = false; // by the peer's Close or Reset, or a later Accept
        bool reset = false;
        bool notifying = false;
        std::function<void()> wake; // tells the client's link that bytes came while it notifies
    };
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Step> script;
        size_t cursor = 0;
        std::vector<Connection> links; // every connection the client opened, in order
        int current = -1;              // the accepted one
        std::string sent;              // what the client sent on the current one, not yet taken
        std::string received;          // all it sent on accepted connections
        std::vector<std::string> failures;
        size_t sendLimit = 0;

        bool Done() const { return cursor >= script.size(); }
        std::string Unread() const { return sent; }
        void Queue(Item item) {
            Connection& link = links[static_cast<size_t>(current)];
            link.inbound.push_back(std::move(item));
            if (link.notifying && link.wake)
                link.wake();
            changed.notify_all();
        }
        // Plays the script as far as it can go now.
        void Advance() {
            if (current < 0) { // the first connection is taken before the first step
                if (links.empty())
                    return;
                current = 0;
            }
            while (!Done()) {
                const Step& step = script[cursor];
                switch (step.kind) {
                case Step::Send: {
                    size_t start = 0;
                    std::vector<size_t> cuts = step.splits;
                    cuts.push_back(step.bytes.size());
                    for (size_t cut : cuts) {
                        if (cut <= start || cut > step.bytes.size())
                            continue;
                        if (start > 0 && step.pauseMs > 0)
                            Queue({Item::Pause, {}, step.pauseMs, {}});
                        Queue({Item::Bytes, step.bytes.substr(start, cut - start), 0, {}});
                        start = cut;
                    }
                    break;
                }
                case Step::Expect:
                case Step::Receive: {
                    const size_t count = step.kind == Step::Expect ? step.bytes.size() : step.count;
                    if (sent.size() < count)
                        return; // the client has not sent it yet
                    const std::string got = sent.substr(0, count);
                    sent.erase(0, count);
                    if (step.kind == Step::Expect && got != step.bytes)
                        failures.push_back("expected " + ToHex(step.bytes) + " got " + ToHex(got));
                    break;
                }
                case Step::Close:
                    Queue({Item::Close, {}, 0, {}});
                    links[static_cast<size_t>(current)].peerClosed = true;
                    break;
                case Step::Reset:
                    Queue({Item::Reset, {}, 0, {}});
                    links[static_cast<size_t>(current)].peerClosed = true;
                    break;
                case Step::Accept:
                    if (static_cast<size_t>(current) + 1 >= links.size())
                        return; // no connection came yet
                    if (!links[static_cast<size_t>(current)].peerClosed) {
                        Queue({Item::Close, {}, 0, {}});
                        links[static_cast<size_t>(current)].peerClosed = true;
                    }
                    ++current;
                    sent.clear();
                    break;
                case Step::Pause:
                    Queue({Item::Pause, {}, step.pauseMs, {}});
                    break;
                }
                ++cursor;
            }
        }
    };
    struct PeerRegistry {
        std::mutex mutex;
        std::map<uint16_t, std::weak_ptr<State>> peers;
        uint16_t nextPort = 50001;
    };
    static PeerRegistry& Registry() {
        static PeerRegistry registry;
        return registry;
    }
    static std::shared_ptr<State> Find(const std::string& port) {
        std::lock_guard lock(Registry().mutex);
        const auto it = Registry().peers.find(static_cast<uint16_t>(std::atoi(port.c_str())));
        return it == Registry().peers.end() ? nullptr : it->second.lock();
    }

    std::shared_ptr<State> state_;
    uint16_t port_ = 0;
};

// The client's end: a TTransport over a MemoryPeer's queues.
class MemoryPeer::Link final : public TTransport {
public:
    ~Link() override { Close(); }

    void Aim(const std::string& host, const std::string& port) override {
        if (host == host_ && port == port_)
            return;
        Close();
        host_ = host;
        port_ = port;
    }
    std::string Host() const override { return host_; }
    std::string Port() const override { return port_; }
    void SetConnectTimeOut(int32_t) override {}
    void Open() override {
        if (state_)
            return;
        std::shared_ptr<State> peer = Find(port_);
        if (!peer) {
            ReportError(10061); // nobody listens there
            return;
        }
        std::lock_guard lock(peer->mutex);
        state_ = peer;
        index_ = peer->links.size();
        peer->links.emplace_back();
        peer->links.back().notifying = notifying_;
        peer->links.back().wake = [this] { Announce(); };
        peer->Advance();
    }
    void Close() override {
        if (!state_)
            return;
        ReportClosing();
        std::lock_guard lock(state_->mutex);
        Connection& link = Mine();
        link.clientOpen = false;
        link.wake = nullptr;
        state_.reset();
        EndWatch();
    }
    bool Active() const override { return state_ != nullptr; }

    int32_t Send(char* bytes, int32_t count) override {
        if (!state_)
            return -1;
        std::unique_lock lock(state_->mutex);
        if (Mine().reset) {
            lock.unlock();
            ReportError(10054);
            return -1;
        }
        size_t taken = static_cast<size_t>(count);
        if (state_->sendLimit > 0)
            taken = std::min(taken, state_->sendLimit);
        if (static_cast<int>(index_) == state_->current && !Mine().peerClosed) {
            state_->sent.append(bytes, taken);
            state_->received.append(bytes, taken);
            state_->Advance();
        }
        return static_cast<int32_t>(taken);
    }

    int32_t Receive(char* into, int32_t room, int32_t waitMs, bool& timedOut) override {
        timedOut = false;
        if (!state_)
            return -1;
        std::unique_lock lock(state_->mutex);
        const auto end = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
        while (true) {
            state_->Advance();
            std::deque<Item>& inbound = Mine().inbound;
            if (inbound.empty()) {
                // Silent, or not accepted yet: wait as a socket would.
                if (waitMs >= 0 &&
                    state_->changed.wait_until(lock, end) == std::cv_status::timeout) {
                    timedOut = inbound.empty();
                    if (timedOut)
                        return 0;
                } else if (waitMs < 0) {
                    state_->changed.wait(lock);
                }
                continue;
            }
            Item& item = inbound.front();
            switch (item.kind) {
            case Item::Bytes: {
                const size_t n = std::min(item.bytes.size(), static_cast<size_t>(room));
                std::memcpy(into, item.bytes.data(), n);
                item.bytes.erase(0, n);
                if (item.bytes.empty())
                    inbound.pop_front();
                return static_cast<int32_t>(n);
            }
            case Item::Pause:
                if (!item.until)
                    item.until = Clock::now() + std::chrono::milliseconds(item.pauseMs);
                if (Clock::now() >= *item.until) {
                    inbound.pop_front();
                    continue;
                }
                if (waitMs >= 0 && end <= *item.until) {
                    state_->changed.wait_until(lock, end);
                    timedOut = true;
                    return 0;
                }
                state_->changed.wait_until(lock, *item.until);
                continue;
            case Item::Close:
                return 0;
            case Item::Reset:
                Mine().reset = true;
                lock.unlock();
                ReportError(10054);
                return -1;
            }
        }
    }

    std::string ReceiveAvailable() override {
        std::string bytes;
        if (!state_)
            return bytes;
        // One piece per read, as Receive gives them: a message split across pieces reaches
        // the idle path split. Nobody waits on the idle path, so a pause is over.
        std::lock_guard lock(state_->mutex);
        std::deque<Item>& inbound = Mine().inbound;
        while (!inbound.empty() && inbound.front().kind == Item::Pause)
            inbound.pop_front();
        if (!inbound.empty() && inbound.front().kind == Item::Bytes) {
            bytes = std::move(inbound.front().bytes);
            inbound.pop_front();
        }
        if (notifying_ && !inbound.empty() && inbound.front().kind != Item::Close)
            Announce(); // the next piece is announced as the socket would
        return bytes;
    }

    void SetNotifying(bool notifying) override {
        notifying_ = notifying;
        if (!state_)
            return;
        if (notifying)
            StartWatch();
        std::lock_guard lock(state_->mutex);
        Connection& link = Mine();
        link.notifying = notifying;
        if (notifying && !link.inbound.empty() && link.inbound.front().kind != Item::Close)
            Announce();
    }
    TNotificationLoop& Loop() override {
        if (!loop_)
            loop_ = TNotificationLoop::ForCurrentThread();
        return *loop_;
    }
    std::string LocalAddress() override { return "127.0.0.1"; }
    std::unique_ptr<TTransport> NewLink() const override { return std::make_unique<Link>(); }

private:
    Connection& Mine() { return state_->links[index_]; }
    // Bytes for the client are announced as a socket's are: an event descriptor that the
    // notification loop watches becomes readable, and the watch's handler calls ReadReady at the
    // loop's next pump. The watch ends with the connection, so nothing of it outlives the link.
    void StartWatch() {
        if (!loop_)
            loop_ = TNotificationLoop::ForCurrentThread();
        if (watch_ != 0)
            return;
        event_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        watch_ = loop_->WatchReadable(event_, [this] { return OnAnnounced(); });
    }
    void EndWatch() {
        if (watch_ == 0)
            return;
        loop_->Unwatch(watch_);
        ::close(event_);
        watch_ = 0;
        event_ = -1;
    }
    void Announce() {
        if (event_ < 0)
            return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(event_, &one, sizeof one);
    }
    bool OnAnnounced() {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(event_, &count, sizeof count);
        loop_->Rearm(watch_);
        if (!notifying_ || !state_)
            return false;
        ReportReadReady();
        return true;
    }

    std::shared_ptr<State> state_; // the peer of the open connection
    size_t index_ = 0;
    std::string host_;
    std::string port_;
    bool notifying_ = false;
    std::shared_ptr<TNotificationLoop> loop_;
    int event_ = -1;
    TNotificationLoop::TWatchId watch_ = 0;
};

// Runs `connect` over an in-memory link from now on: connections it opens reach MemoryPeers.
inline void UseMemoryLink(TQdoConnect& connect) {
    UseTransport(connect, std::make_unique<MemoryPeer::Link>());
}

} // namespace qdo::test
