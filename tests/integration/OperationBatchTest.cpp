// Against qdo-server: batches of sets, gets, kills, increments and $DATA run by
// TMDatabase::Run, through the server's batch request and through generated Execute lines (the
// form for servers without it), with every result in order, values of every size and byte, a
// failing operation that stops the batch, and batches split under the server's request limit.
#include "ServerProcess.h"
#include "SharedServer.h"
#include "connect/Database.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace qdo {
namespace {

using test::Open;
using test::ServerProcess;
using test::Shared;

TMBatchOptions Path(bool serverRequest) {
    TMBatchOptions options;
    options.ServerRequest = serverRequest;
    return options;
}

class OperationBatches : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        connect_ = Open(Shared());
        connect_->Execute("k ^TxBat");
        db_ = std::make_unique<TMDatabase>(*connect_);
    }
    void TearDown() override {
        if (connect_ && connect_->Active())
            connect_->Execute("k ^TxBat");
    }
    TMBatchOptions Options() const { return Path(GetParam()); }

    std::unique_ptr<TQdoConnect> connect_;
    std::unique_ptr<TMDatabase> db_;
};

TEST(OperationBatchProbe, QdoServerServesBatchRequests) {
    auto connect = Open(Shared());
    TMDatabase db(*connect);
    EXPECT_TRUE(db.ServerHasBatches());
}

// A value of `size` bytes that differs with `seed` and holds every kind of byte.
std::string Value(size_t size, unsigned seed) {
    std::string value(size, '\0');
    std::mt19937 random(seed);
    for (char& c : value)
        c = static_cast<char>(random() % 256);
    return value;
}

// 1,000 operations of every kind, mixed, values of 0 to 32 KB: each result is what a model of
// the operations says, in order, and the database ends as the model does.
TEST_P(OperationBatches, MixedOperationsGiveEveryResultInOrder) {
    std::mt19937 random(7);
    std::map<int, std::string> model; // ^TxBat(key) -> value
    std::map<int, long> counters;     // ^TxBat("n",key)
    TMOperationBatch batch;
    std::vector<std::string> expected;
    for (int i = 0; i < 1000; ++i) {
        const int key = static_cast<int>(random() % 50);
        const TMRef node("^TxBat", {key});
        switch (random() % 6) {
        case 0:
        case 1: {
            const size_t size = random() % 4 == 0 ? random() % 32769 : random() % 40;
            const std::string value = Value(size, static_cast<unsigned>(i));
            batch.Set(node, value);
            model[key] = value;
            expected.push_back("");
            break;
        }
        case 2:
            batch.Get(node, "none");
            expected.push_back(model.count(key) ? model[key] : "none");
            break;
        case 3:
            batch.Kill(node);
            model.erase(key);
            expected.push_back("");
            break;
        case 4:
            batch.Increment(TMRef("^TxBat", {"n", key}), key - 20);
            expected.push_back(std::to_string(counters[key] += key - 20));
            break;
        default:
            batch.Data(node);
            expected.push_back(model.count(key) ? "1" : "0");
            break;
        }
    }
    const std::vector<std::string> results = db_->Run(batch, Options());
    ASSERT_EQ(results.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_TRUE(results[i] == expected[i]) << "operation " << i;
    for (int key = 0; key < 50; ++key) {
        const TMRef node("^TxBat", {key});
        EXPECT_TRUE(db_->Get(node, "none") == (model.count(key) ? model[key] : "none"));
    }
}

TEST_P(OperationBatches, AHundredThousandSetsAndGets) {
    constexpr int count = 100000;
    TMOperationBatch sets;
    for (int i = 0; i < count; ++i)
        sets.Set(TMRef("^TxBat", {i}), "v" + std::to_string(i));
    EXPECT_EQ(db_->Run(sets, Options()).size(), static_cast<size_t>(count));
    TMOperationBatch gets;
    for (int i = 0; i < count; ++i)
        gets.Get(TMRef("^TxBat", {i}));
    const std::vector<std::string> values = db_->Run(gets, Options());
    ASSERT_EQ(values.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(values[i], "v" + std::to_string(i));
}

// The operation that fails stops the batch: those before it are applied and their results
// given, none after it runs.
TEST_P(OperationBatches, AFailingOperationStopsTheBatchThere) {
    for (const size_t failAt : {size_t(0), size_t(500), size_t(999)}) {
        SCOPED_TRACE(failAt);
        connect_->Execute("k ^TxBat");
        TMOperationBatch batch;
        for (size_t i = 0; i < 1000; ++i) {
            if (i == failAt)
                batch.Get(TMRef("^TxBat", {"missing"}));
            else if (i % 2 == 0)
                batch.Set(TMRef("^TxBat", {static_cast<int>(i)}), std::string(i * 10, 'x'));
            else
                batch.Increment(TMRef("^TxBat"));
        }
        try {
            db_->Run(batch, Options());
            FAIL() << "the batch did not fail";
        } catch (const EMBatchError& e) {
            EXPECT_EQ(e.FailedIndex, failAt);
            EXPECT_EQ(e.Results.size(), failAt);
            EXPECT_NE(e.ServerText.find("GVUNDEF"), std::string::npos) << e.ServerText;
            if (failAt > 1) { // the last increment before the failure
                const size_t last = (failAt - 1) % 2 == 1 ? failAt - 1 : failAt - 2;
                EXPECT_EQ(e.Results[last], std::to_string((last + 1) / 2));
            }
        }
        EXPECT_EQ(db_->Get(TMRef("^TxBat"), "0"), std::to_string(failAt / 2));
        int sets = 0;
        for (const TMChild& child : db_->Children(TMRef("^TxBat"), {}))
            sets += child.HasValue ? 1 : 0;
        EXPECT_EQ(sets, static_cast<int>((failAt + 1) / 2));
        EXPECT_EQ(connect_->Read("1+1"), "2"); // the session goes on
    }
}

// Hostile subscripts and values of every byte, a value of 1 MiB (alone in its request, or its
// own Write in the generated form), and one too long for a line.
TEST_P(OperationBatches, AwkwardSubscriptsAndValuesComeThroughExactly) {
    const std::vector<std::string> strings = {
        "\"",   "a\"b", "\"_$C(0)_\"",    std::string("nul\0in", 6), ") k ^TxBat s x=(",
        "\r\n", "01",   test::AllBytes(),
    };
    TMOperationBatch batch;
    for (size_t i = 0; i < strings.size(); ++i)
        batch.Set(TMRef("^TxBat", {strings[i]}), strings[i] + test::AllBytes());
    batch.Set(TMRef("^TxBat", {"big"}), std::string(1048576, '\x01'));
    batch.Set(TMRef("^TxBat", {"long"}), std::string(9000, '"'));
    for (size_t i = 0; i < strings.size(); ++i)
        batch.Get(TMRef("^TxBat", {strings[i]}));
    const size_t big = batch.Get(TMRef("^TxBat", {"big"}));
    const size_t longer = batch.Get(TMRef("^TxBat", {"long"}));
    const std::vector<std::string> results = db_->Run(batch, Options());
    for (size_t i = 0; i < strings.size(); ++i)
        EXPECT_TRUE(results[strings.size() + 2 + i] == strings[i] + test::AllBytes()) << i;
    EXPECT_TRUE(results[big] == std::string(1048576, '\x01'));
    EXPECT_TRUE(results[longer] == std::string(9000, '"'));
    int children = 0;
    for (const TMChild& child : db_->Children(TMRef("^TxBat"), {}))
        children += child.HasValue ? 1 : 0;
    EXPECT_EQ(children, static_cast<int>(strings.size()) + 2);
}

// Long runs of plain references: values whose reads fill the 1 MiB that one call into M returns
// several times over, a reference of four subscripts between them (it runs alone), and a
// failure in the middle of a run, which stops the batch there with the results before it.
TEST_P(OperationBatches, LongRunsOfLargeValuesAndAFailureInsideARun) {
    TMOperationBatch batch;
    for (int i = 0; i < 40; ++i)
        batch.Set(TMRef("^TxBat", {i}), Value(100000, static_cast<unsigned>(i)));
    batch.Set(TMRef("^TxBat", {1, 2, 3, 4}), "four");
    for (int i = 0; i < 40; ++i)
        batch.Get(TMRef("^TxBat", {i}));
    batch.Get(TMRef("^TxBat", {1, 2, 3, 4}));
    const std::vector<std::string> results = db_->Run(batch, Options());
    ASSERT_EQ(results.size(), 82u);
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(results[41 + static_cast<size_t>(i)] == Value(100000, static_cast<unsigned>(i)))
            << i;
    EXPECT_EQ(results[81], "four");

    TMOperationBatch failing;
    for (int i = 0; i < 300; ++i) {
        if (i == 150)
            failing.Get(TMRef("^TxBat", {"missing"}));
        else
            failing.Set(TMRef("^TxBat", {"f", i}), std::to_string(i));
    }
    try {
        db_->Run(failing, Options());
        FAIL() << "the batch did not fail";
    } catch (const EMBatchError& e) {
        EXPECT_EQ(e.FailedIndex, 150u);
        EXPECT_EQ(e.Results.size(), 150u);
    }
    EXPECT_EQ(db_->Get(TMRef("^TxBat", {"f", 149}), "none"), "149");
    EXPECT_EQ(db_->Get(TMRef("^TxBat", {"f", 151}), "none"), "none");
}

INSTANTIATE_TEST_SUITE_P(BothPaths, OperationBatches, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "BatchRequest" : "ExecuteLines";
                         });

// A server that takes requests of at most 64 KiB: batches split to fit are served; one that
// does not fit is refused by the server (which closes the connection).
TEST(OperationBatchLimits, BatchesSplitUnderTheServersRequestLimit) {
    ServerProcess server({"--max-request", "65536"});
    auto connect = Open(server);
    TMDatabase db(*connect);
    TMOperationBatch batch;
    for (int i = 0; i < 100; ++i)
        batch.Set(TMRef("^TxBat", {i}), std::string(4000, 'a' + i % 26));
    for (int i = 0; i < 100; ++i)
        batch.Get(TMRef("^TxBat", {i}));
    TMBatchOptions options;
    options.RequestBytes = 60000;
    const std::vector<std::string> results = db.Run(batch, options);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(results[100 + i], std::string(4000, 'a' + i % 26));
    options.RequestBytes = 1048576;
    EXPECT_ANY_THROW(db.Run(batch, options));
}

} // namespace
} // namespace qdo
