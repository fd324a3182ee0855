// Against qdo-server: transactions built with TMTransaction and run by TMDatabase::Run. They
// commit whole or not at all (an M error, a dropped job), give their results in order with the
// restart count, carry values of any bytes and size, and keep the total of concurrent transfers.
#include "SharedServer.h"
#include "connect/Database.h"
#include "encodings/Mutils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace qdo {
namespace {

using test::Open;
using test::Shared;

// A routine for the transactions' Function operations, written into the data directory and
// linked by its path, so that the server's routine folder is left alone.
void LinkTestRoutine(TQdoConnect& connect) {
    const std::filesystem::path source =
        std::filesystem::absolute(Shared().DataDirectory()) / "TxApiTst.m";
    std::ofstream(source) << "TxApiTst ; routine of the transaction API tests\n"
                             "Twice(n) q n*2\n"
                             "Fail() s $ecode=\",Utxfail,\" q 0\n"
                             "Div(n) q 1/n\n"
                             "Hang() l +^TxApiIn h 60 q 1\n";
    connect.Execute("zlink " + MText(source.string()));
}

class TransactionApi : public ::testing::Test {
protected:
    void SetUp() override {
        connect_ = Open(Shared());
        connect_->Execute("k ^TxApi s ^TxApiCanary=\"alive\"");
        db_ = std::make_unique<TMDatabase>(*connect_);
    }
    void TearDown() override {
        if (connect_ && connect_->Active()) {
            EXPECT_EQ(connect_->Read("$G(^TxApiCanary)"), "alive") << "some input ran as code";
            EXPECT_EQ(connect_->Read("$D(%qdotv)"), "0") << "values sent first were left behind";
            connect_->Execute("k ^TxApi,^TxApiCanary");
        }
    }

    std::unique_ptr<TQdoConnect> connect_;
    std::unique_ptr<TMDatabase> db_;
};

TEST_F(TransactionApi, EveryOperationCommitsAndResultsComeInOrder) {
    LinkTestRoutine(*connect_);
    TMDatabase& db = *db_;
    db.Set(TMRef("^TxApi", {"old"}), "gone");
    db.Set(TMRef("^TxApi", {"src", 1}), "copied");
    TMTransaction tx;
    tx.Set(TMRef("^TxApi", {"a"}), "first");
    const size_t get = tx.Get(TMRef("^TxApi", {"a"})); // sees the transaction's own update
    tx.Kill(TMRef("^TxApi", {"old"}));
    const size_t inc = tx.Increment(TMRef("^TxApi", {"n"}), 2.5);
    const size_t inc2 = tx.Increment(TMRef("^TxApi", {"n"}), "-1");
    tx.Merge(TMRef("^TxApi", {"dst"}), TMRef("^TxApi", {"src"}));
    const size_t fn = tx.Function(TMEntryRef("Twice^TxApiTst"), {21});
    const TMTransactionResult result = db.Run(tx);
    EXPECT_EQ(std::vector<size_t>({get, inc, inc2, fn}), std::vector<size_t>({0, 1, 2, 3}));
    EXPECT_EQ(result.Values, std::vector<std::string>({"first", "2.5", "1.5", "42"}));
    EXPECT_EQ(result.Restarts, 0);
    EXPECT_EQ(db.Data(TMRef("^TxApi", {"old"})), 0);
    EXPECT_EQ(db.Get(TMRef("^TxApi", {"dst", 1})), "copied");
    EXPECT_EQ(connect_->Read("$TLEVEL"), "0");

    // A transaction without results answers with its restart count alone.
    TMTransaction kill;
    kill.Kill(TMRef("^TxApi", {"a"}));
    EXPECT_TRUE(db.Run(kill).Values.empty());
    EXPECT_EQ(db.Data(TMRef("^TxApi", {"a"})), 0);
}

// An error anywhere in the transaction (in its last operation, too) leaves every update of it
// undone, also those whose values were sent first as locals, and the session goes on.
TEST_F(TransactionApi, AnMErrorInsideAppliesNothing) {
    LinkTestRoutine(*connect_);
    TMDatabase& db = *db_;
    db.Set(TMRef("^TxApi", {"keep"}), "before");
    const struct {
        const char* failure;
        const char* ecode;
    } cases[] = {{"undefined", "GVUNDEF"}, {"function", "Utxfail"}, {"divide", "DIVZERO"}};
    for (const auto& c : cases) {
        for (const size_t valueSize : {size_t(10), size_t(20000)}) {
            SCOPED_TRACE(std::string(c.failure) + " with values of " + std::to_string(valueSize));
            TMTransaction tx;
            tx.Set(TMRef("^TxApi", {"keep"}), std::string(valueSize, 'x'));
            tx.Increment(TMRef("^TxApi", {"count"}));
            tx.Kill(TMRef("^TxApi"));
            tx.Set(TMRef("^TxApi", {"new"}), std::string(valueSize, 'y'));
            if (std::string(c.failure) == "undefined")
                tx.Get(TMRef("^TxApi", {"missing"}));
            else if (std::string(c.failure) == "function")
                tx.Function(TMEntryRef("Fail^TxApiTst"));
            else
                tx.Function(TMEntryRef("Div^TxApiTst"), {0});
            try {
                db.Run(tx);
                FAIL() << "the transaction committed";
            } catch (const EMServerError& e) {
                EXPECT_NE((e.ECode + e.ServerText).find(c.ecode), std::string::npos)
                    << e.ECode << " " << e.ServerText;
            }
            EXPECT_EQ(db.Get(TMRef("^TxApi", {"keep"})), "before");
            EXPECT_EQ(db.Data(TMRef("^TxApi", {"count"})), 0);
            EXPECT_EQ(db.Data(TMRef("^TxApi", {"new"})), 0);
            EXPECT_EQ(connect_->Read("$TLEVEL"), "0");
        }
    }
}

// Values of every size and byte, inline or sent first, and hostile subscripts: each lands on
// exactly its node and comes back unchanged through a Get inside a transaction.
TEST_F(TransactionApi, AwkwardAndLargeValuesAndSubscriptsComeThroughExactly) {
    TMDatabase& db = *db_;
    const std::vector<std::string> strings = {
        "\"",
        "a\"b",
        "\"_$C(0)_\"",
        std::string("nul\0inside", 10),
        "\r\n\t\x1b\x7f\xff\x80",
        ") k ^TxApiCanary s x=(",
        "\") k ^TxApiCanary s x=(\"",
        "x\" k ^TxApiCanary ;",
        test::AllBytes(),
        "01",
        "1E3",
        "-0",
    };
    const std::vector<std::string> values = {
        std::string(100 * 1024, 'v'),        // 100 KB: sent first
        std::string(3000, '\x01') + "\"",    // $C(1,...) inline: some 6 KB of code, sent first
        test::AllBytes() + test::AllBytes(), // control bytes and quotes
        std::string(1024 * 1024, '\xfe'),    // GT.M's largest value
    };
    TMTransaction tx;
    std::vector<std::pair<TMRef, std::string>> expected;
    for (size_t i = 0; i < strings.size(); ++i) {
        // Subscripts longer than GT.M's keys hold are left out: AllBytes is 256 bytes.
        expected.emplace_back(TMRef("^TxApi", {strings[i], static_cast<int>(i)}), strings[i]);
    }
    for (size_t i = 0; i < values.size(); ++i)
        expected.emplace_back(TMRef("^TxApi", {"big", static_cast<int>(i)}), values[i]);
    for (const auto& [ref, value] : expected)
        tx.Set(ref, value);
    for (const auto& [ref, value] : expected)
        tx.Get(ref);
    const TMTransactionResult result = db.Run(tx);
    ASSERT_EQ(result.Values.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].first.Text().substr(0, 80));
        EXPECT_TRUE(result.Values[i] == expected[i].second);
        EXPECT_TRUE(db.Get(expected[i].first) == expected[i].second);
    }
    // Every subscript named its own node: one child of ^TxApi per string, and "big".
    int children = 0;
    for (const TMChild& child : db.Children(TMRef("^TxApi")))
        children += child.Subscript == "big" ? 0 : 1;
    EXPECT_EQ(children, static_cast<int>(strings.size()));
}

TEST_F(TransactionApi, WhatCannotBeSentIsRefusedBeforeAnythingIs) {
    TMTransaction empty;
    EXPECT_THROW(db_->Run(empty), EMRefError);
    TMTransaction tx;
    EXPECT_THROW(tx.Set(TMRef("TxApiLocal"), "v"), EMRefError);
    EXPECT_THROW(tx.Increment(TMRef("^TxApi"), "1E3"), EMRefError);
    // A hundred subscripts of control bytes: too long even with every value sent first.
    for (int i = 0; i < 100; ++i)
        tx.Kill(TMRef("^TxApi", {std::string(100, '\x02')}));
    EXPECT_THROW(db_->Run(tx), EMRefError);
    EXPECT_EQ(connect_->Read("1+1"), "2");
}

// The job running a transaction is stopped while the transaction waits inside a function:
// nothing of it is applied, and the database takes updates at once.
TEST_F(TransactionApi, AJobStoppedInsideAppliesNothing) {
    LinkTestRoutine(*connect_);
    auto running = Open(Shared());
    running->Execute("zlink \"" +
                     (std::filesystem::absolute(Shared().DataDirectory()) / "TxApiTst").string() +
                     "\"");
    const pid_t job = std::stoi(running->Read("$J"));
    db_->Set(TMRef("^TxApi", {"a"}), "before");
    std::atomic<bool> failed{false};
    std::thread client([&] {
        TMDatabase db(*running);
        TMTransaction tx;
        tx.Set(TMRef("^TxApi", {"a"}), "after");
        tx.Set(TMRef("^TxApi", {"b"}), std::string(50000, 'b'));
        tx.Function(TMEntryRef("Hang^TxApiTst"));
        try {
            db.Run(tx);
        } catch (const Exception&) {
            failed = true;
        }
    });
    // The function holds the lock while it waits: once it is refused, the job is inside.
    const TMRef inside("^TxApiIn");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool started = false;
    while (!started && std::chrono::steady_clock::now() < deadline) {
        started = !db_->Lock(inside, 0);
        if (!started) {
            db_->Unlock(inside);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_TRUE(started) << "the transaction never reached its function";
    EXPECT_EQ(::kill(job, SIGTERM), 0);
    client.join();
    EXPECT_TRUE(failed);
    EXPECT_EQ(db_->Get(TMRef("^TxApi", {"a"})), "before");
    EXPECT_EQ(db_->Data(TMRef("^TxApi", {"b"})), 0);
    db_->Set(TMRef("^TxApi", {"c"}), "taken");
    EXPECT_EQ(db_->Get(TMRef("^TxApi", {"c"})), "taken");
    EXPECT_TRUE(db_->Lock(inside, 5)) << "the stopped job's lock is released";
    db_->UnlockAll();
}

// Four connections in threads make 10,000 transfers between ten accounts, each a transaction of
// three increments; the counter they share makes overlapping transfers conflict. Every account
// ends where the committed transfers put it, the total is kept, and the restarts GT.M made are
// reported.
TEST_F(TransactionApi, ConcurrentTransfersKeepTheTotal) {
    constexpr int clients = 4;
    constexpr int transfers = 10000 / clients;
    constexpr int accounts = 10;
    constexpr long opening = 100000;
    for (int i = 0; i < accounts; ++i)
        db_->Set(TMRef("^TxApi", {"acct", i}), std::to_string(opening));
    std::vector<std::vector<long>> moved(clients, std::vector<long>(accounts, 0));
    std::vector<int> restarts(clients, 0);
    std::vector<std::string> failures(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            try {
                auto connect = Open(Shared());
                TMDatabase db(*connect);
                std::mt19937 random(static_cast<unsigned>(c + 1));
                for (int t = 0; t < transfers; ++t) {
                    const int from = static_cast<int>(random() % accounts);
                    const int to =
                        static_cast<int>((from + 1 + random() % (accounts - 1)) % accounts);
                    const int amount = static_cast<int>(random() % 100) + 1;
                    TMTransaction tx;
                    tx.Increment(TMRef("^TxApi", {"acct", from}), -amount);
                    tx.Increment(TMRef("^TxApi", {"acct", to}), amount);
                    tx.Increment(TMRef("^TxApi", {"count"}));
                    const TMTransactionResult result = db.Run(tx);
                    moved[c][from] -= amount;
                    moved[c][to] += amount;
                    restarts[c] += result.Restarts;
                }
            } catch (const std::exception& e) {
                failures[c] = e.what();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& failure : failures)
        EXPECT_EQ(failure, "");
    long total = 0;
    for (int i = 0; i < accounts; ++i) {
        long expected = opening;
        for (int c = 0; c < clients; ++c)
            expected += moved[c][i];
        const long balance = std::stol(db_->Get(TMRef("^TxApi", {"acct", i})));
        EXPECT_EQ(balance, expected) << "account " << i;
        total += balance;
    }
    EXPECT_EQ(total, opening * accounts);
    EXPECT_EQ(db_->Get(TMRef("^TxApi", {"count"})), std::to_string(clients * transfers));
    int restarted = 0;
    for (int r : restarts)
        restarted += r;
    std::cout << "GT.M restarted transfers " << restarted << " times\n";
    RecordProperty("restarts", restarted);
}

} // namespace
} // namespace qdo
