// A thread-blocking server's pool of client socket threads: how many serve at once, every byte
// of many connections echoed intact, which thread GetThreadObject names, SyncProc on the main
// thread, and handlers that raise. These tests also run under ThreadSanitizer.
#include "classes/NotificationLoop.h"
#include "sockets/Sockets2.h"
#include "support/Loopback.h"
#include "support/ProcessResources.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <poll.h>
#include <random>
#include <set>
#include <thread>

namespace qdo {
namespace {

using test::CapturedExceptions;
using test::Connect;
using test::Fd;
using test::ReadBytes;
using test::SendAll;
using test::TestServer;

// The pool threads that ran a handler, recorded from any thread.
class ThreadsSeen {
public:
    void Add() {
        std::lock_guard lock(mutex_);
        threads_.insert(TCustomIpClient::GetThreadObject());
    }
    std::set<TClientSocketThread*> Get() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    mutable std::mutex mutex_;
    std::set<TClientSocketThread*> threads_;
};

TEST(SocketThreadPool, AFullBusyPoolKeepsTheNextConnectionWaitingUntilAThreadIsIdle) {
    ThreadsSeen seen; // before the server: its threads use it until the server is gone
    TestServer server;
    TServerSocketThread* pool = server.tcp.GetServerSocketThread();
    pool->SetThreadCacheSize(0); // no pool at all would leave every connection waiting
    EXPECT_EQ(pool->ThreadCacheSize(), 1);
    pool->SetThreadCacheSize(2);
    server.tcp.OnAccept = [&](TObject*, TCustomIpClient* client) {
        seen.Add();
        client->Sendln("served");
        char byte;
        client->ReceiveBuf(&byte, 1); // busy until the peer says it is done
    };
    server.tcp.SetActive(true);

    Fd first = Connect(server.Port());
    Fd second = Connect(server.Port());
    ASSERT_EQ(ReadBytes(first.get(), 8), "served\r\n");
    ASSERT_EQ(ReadBytes(second.get(), 8), "served\r\n");
    Fd third = Connect(server.Port()); // made by the kernel, waiting to be accepted
    ASSERT_GE(third.get(), 0);
    EXPECT_EQ(ReadBytes(third.get(), 8, 300), "") << "served while both threads were busy";

    SendAll(first.get(), "x"); // the first thread goes idle and takes the waiting connection
    EXPECT_EQ(ReadBytes(third.get(), 8), "served\r\n");
    EXPECT_EQ(seen.Get().size(), 2u);
    EXPECT_TRUE(server.Errors().empty());
}

// A payload of every byte value, different for every connection.
std::string Payload(uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(1 + random() % 40000, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

TEST(SocketThreadPool, ServesTwoHundredConnectionsWithTenThreadsEchoingEveryByte) {
    const int descriptors = test::DescriptorCount();
    ThreadsSeen seen;
    auto server = std::make_unique<TestServer>();
    server->tcp.OnAccept = [&](TObject*, TCustomIpClient* client) {
        seen.Add();
        char block[4096];
        int32_t received;
        while ((received = client->ReceiveBuf(block, sizeof block)) > 0) {
            for (int32_t sent = 0; sent < received;) {
                const int32_t result = client->SendBuf(block + sent, received - sent);
                if (result <= 0)
                    return;
                sent += result;
            }
        }
    };
    server->tcp.SetActive(true);
    const uint16_t port = server->Port();

    // Five peers at a time keep the waiting connections within the listen backlog of 5.
    constexpr int peers = 5;
    constexpr int connectionsEach = 40;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int p = 0; p < peers; ++p) {
        clients.emplace_back([&, p] {
            for (int i = 0; i < connectionsEach; ++i) {
                const std::string payload = Payload(static_cast<uint32_t>(p * 1000 + i));
                Fd connection = Connect(port);
                try {
                    SendAll(connection.get(), payload);
                } catch (const std::exception&) {
                    continue; // not intact
                }
                ::shutdown(connection.get(), SHUT_WR);
                // One byte more than was sent: the echo must end exactly there.
                if (ReadBytes(connection.get(), payload.size() + 1, 30000) == payload)
                    ++intact;
            }
        });
    }
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(intact, peers * connectionsEach);
    EXPECT_GE(seen.Get().size(), 1u);
    EXPECT_LE(seen.Get().size(), 10u);
    EXPECT_TRUE(server->Errors().empty());
    server.reset();
    EXPECT_EQ(test::DescriptorCount(), descriptors); // every connection and duplicate closed
}

TEST(SocketThreadPool, GetThreadObjectNamesThePoolThreadOnlyOnIt) {
    std::mutex mutex;
    TClientSocketThread* onPool = nullptr;
    TServerSocketThread* owner = nullptr;
    bool sameClient = false;
    TestServer server;
    server.tcp.OnAccept = [&](TObject*, TCustomIpClient* client) {
        std::lock_guard lock(mutex);
        onPool = TCustomIpClient::GetThreadObject();
        owner = onPool->ServerSocketThread();
        sameClient = onPool->ClientSocket() == client;
        client->Sendln("done");
    };
    server.tcp.SetActive(true);
    Fd peer = Connect(server.Port());
    ASSERT_EQ(ReadBytes(peer.get(), 6), "done\r\n");
    {
        std::lock_guard lock(mutex);
        ASSERT_NE(onPool, nullptr);
        EXPECT_EQ(owner, server.tcp.GetServerSocketThread());
        EXPECT_TRUE(sameClient);
    }

    EXPECT_EQ(TCustomIpClient::GetThreadObject(), nullptr); // the main thread
    TClientSocketThread* onOther = onPool;
    std::thread other([&] { onOther = TCustomIpClient::GetThreadObject(); });
    other.join();
    EXPECT_EQ(onOther, nullptr);
}

class RecordingThread : public TClientSocketThread {
public:
    using TClientSocketThread::TClientSocketThread;
    std::atomic<bool> ranOnMainThread{false};
    std::atomic<int> runs{0};

protected:
    void SyncProc() override {
        ranOnMainThread = TNotificationLoop::IsMainThread();
        ++runs;
    }
};

TEST(SocketThreadPool, ExecuteSyncProcRunsOnTheMainThreadWhileItPumps) {
    std::atomic<int> made{0};
    std::atomic<RecordingThread*> used{nullptr};
    TestServer server;
    server.tcp.OnGetThread = [&](TObject* sender, TClientSocketThread*& thread) {
        EXPECT_EQ(sender, &server.tcp);
        thread = new RecordingThread(server.tcp.GetServerSocketThread());
        ++made;
    };
    server.tcp.OnAccept = [&](TObject*, TCustomIpClient* client) {
        auto* thread = dynamic_cast<RecordingThread*>(TCustomIpClient::GetThreadObject());
        used = thread;
        if (thread != nullptr)
            thread->ExecuteSyncProc(); // returns once the main thread has run it
        client->Sendln("synced");
    };
    server.tcp.SetActive(true);
    Fd peer = Connect(server.Port());

    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reply.empty() && std::chrono::steady_clock::now() < deadline) {
        ProcessMessages(20);
        reply = ReadBytes(peer.get(), 8, 0);
    }
    EXPECT_EQ(reply, "synced\r\n");
    EXPECT_EQ(made, 1);
    ASSERT_NE(used.load(), nullptr);
    EXPECT_TRUE(used.load()->ranOnMainThread);
    EXPECT_EQ(used.load()->runs, 1);
}

TEST(SocketThreadPool, ClosingWhileAThreadWaitsForTheMainThreadDoesNotDeadlock) {
    std::atomic<RecordingThread*> used{nullptr};
    TestServer server;
    server.tcp.OnGetThread = [&](TObject*, TClientSocketThread*& thread) {
        thread = new RecordingThread(server.tcp.GetServerSocketThread());
    };
    server.tcp.OnAccept = [&](TObject*, TCustomIpClient*) {
        auto* thread = static_cast<RecordingThread*>(TCustomIpClient::GetThreadObject());
        used = thread;
        thread->ExecuteSyncProc();
    };
    server.tcp.SetActive(true);
    Fd peer = Connect(server.Port());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (used.load() == nullptr && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(used.load(), nullptr);
    server.tcp.SetActive(false); // runs the waiting SyncProc while it waits for the pool
    EXPECT_FALSE(server.tcp.Active());
}

TEST(SocketThreadPool, HandlersThatRaiseAreReportedAndThePoolServesOn) {
    CapturedExceptions captured;
    ThreadsSeen seen;
    std::atomic<int> calls{0};
    TestServer server;
    server.tcp.GetServerSocketThread()->SetThreadCacheSize(1);
    server.tcp.OnGetThread = [](TObject*, TClientSocketThread*&) { throw Exception("no thread"); };
    server.tcp.OnAccept = [&](TObject*, TCustomIpClient* client) {
        seen.Add();
        if (calls++ == 0)
            throw Exception("handler failed");
        client->Sendln("served");
    };
    server.tcp.SetActive(true);

    Fd failed = Connect(server.Port());
    EXPECT_EQ(ReadBytes(failed.get(), 1), ""); // closed after the failure
    Fd next = Connect(server.Port());
    EXPECT_EQ(ReadBytes(next.get(), 8), "served\r\n");
    EXPECT_EQ(captured.Messages(), (std::vector<std::string>{"no thread", "handler failed"}));
    EXPECT_EQ(seen.Get().size(), 1u);
}

TEST(SocketThreadPool, AServerCannotBeClosedFromItsOwnHandler) {
    CapturedExceptions captured;
    TestServer server;
    server.tcp.OnAccept = [&](TObject*, TCustomIpClient* client) {
        server.tcp.Close();
        client->Sendln("unreachable");
    };
    server.tcp.SetActive(true);
    Fd peer = Connect(server.Port());
    EXPECT_EQ(ReadBytes(peer.get(), 1), "");
    EXPECT_TRUE(server.tcp.Listening());
    const std::vector<std::string> messages = captured.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("cannot be closed"), std::string::npos) << messages[0];
}

} // namespace
} // namespace qdo
