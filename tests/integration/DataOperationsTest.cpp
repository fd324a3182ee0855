// Against qdo-server: the typed data operations of TMDatabase. Every subscript, value and
// argument reaches M as data (a hostile one changes no code: a canary global survives), names
// exactly the node it should under M's number rules, and each operation gives M's answer.
#include "SharedServer.h"
#include "connect/Database.h"
#include "encodings/Mutils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace qdo {
namespace {

using test::Open;
using test::Shared;

// Hostile and awkward subscripts: each must be stored under exactly the node it names.
const std::vector<std::string>& AwkwardStrings() {
    static const std::vector<std::string> strings = {
        "plain",
        "\"",
        "\"\"",
        "a\"b",
        "\"_$C(0)_\"",
        std::string("nul\0inside", 10),
        std::string(1, '\0'),
        "\r\n\t\x1b\x7f",
        "\xff\xfe\x80",
        ") k ^DOpsCanary s x=(",
        "\") k ^DOpsCanary s x=(\"",
        "\",0) k ^DOpsCanary w (\"",
        "@^DOpsCanary",
        "x\" k ^DOpsCanary ;",
        std::string(1000, 'z'),
        std::string(250, '\x01') + "\"" + std::string(250, '\x02'),
        "01",
        "1.0",
        "1E3",
        "-0",
        " 1",
        "+1",
        ".50",
        "1.",
        "00",
    };
    return strings;
}

class DataOperations : public ::testing::Test {
protected:
    void SetUp() override {
        connect_ = Open(Shared());
        connect_->Execute("kill ^DOps set ^DOpsCanary=\"alive\"");
    }
    void TearDown() override {
        if (connect_ && connect_->Active()) {
            EXPECT_EQ(connect_->Read("$G(^DOpsCanary)"), "alive") << "some input ran as code";
            connect_->Execute("kill ^DOps,^DOpsCanary");
        }
    }

    // The node's $DATA, asked with a reference written independently of TMRef: every subscript
    // as $C codes.
    int IndependentData(const std::vector<std::string>& subscripts) {
        std::string text = "$D(^DOps";
        for (size_t i = 0; i < subscripts.size(); ++i)
            text += (i == 0 ? "(" : ",") + StrToCharStr(subscripts[i]);
        text += subscripts.empty() ? ")" : "))";
        return std::stoi(connect_->Read(text));
    }

    std::unique_ptr<TQdoConnect> connect_;
    std::unique_ptr<TMDatabase> db_ = nullptr;
    TMDatabase& Db() {
        if (!db_)
            db_ = std::make_unique<TMDatabase>(*connect_);
        return *db_;
    }
};

TEST_F(DataOperations, SetGetDataKillAndDefaults) {
    TMDatabase& db = Db();
    const TMRef node("^DOps", {"a", 1});
    EXPECT_EQ(db.Data(node), 0);
    try {
        db.Get(node);
        FAIL() << "an undefined node has no value";
    } catch (const EMServerError& e) {
        EXPECT_NE(e.ServerText.find("GVUNDEF"), std::string::npos) << e.ServerText;
    }
    EXPECT_EQ(db.Get(node, "fallback \"quoted\""), "fallback \"quoted\"");
    db.Set(node, "v");
    EXPECT_EQ(db.Get(node), "v");
    EXPECT_EQ(db.Get(node, "fallback"), "v");
    EXPECT_EQ(db.Data(node), 1);
    db.Set(node.Child("deeper"), "w");
    EXPECT_EQ(db.Data(node), 11);
    EXPECT_EQ(db.Data(node.Parent()), 10);
    db.Kill(node);
    EXPECT_EQ(db.Data(node.Parent()), 0);

    // Locals of the job: set and read back in the same session.
    db.Set(TMRef("DOpsLocal", {2}), "local");
    EXPECT_EQ(connect_->Read("DOpsLocal(2)"), "local");
    EXPECT_EQ(db.Get(TMRef("DOpsLocal", {"2"})), "local");
}

TEST_F(DataOperations, AwkwardSubscriptsAndValuesNameExactlyTheirNode) {
    TMDatabase& db = Db();
    for (const std::string& s : AwkwardStrings()) {
        SCOPED_TRACE(MText(s));
        db.Set(TMRef("^DOps", {"s", s}), s);
        EXPECT_EQ(IndependentData({"s", s}), 1);
        EXPECT_TRUE(db.Get(TMRef("^DOps", {"s", s})) == s);
        EXPECT_EQ(db.Data(TMRef("^DOps", {"s", s})), 1);
        // The value is data as well: under a plain subscript.
        db.Set(TMRef("^DOps", {"v"}), s);
        EXPECT_TRUE(connect_->Read("^DOps(\"v\")") == s);
    }
    // Every string is a node of its own: none of them collapsed into another or into 1.
    EXPECT_EQ(connect_->Execute("n c,s s c=0,s=\"\" f  s s=$O(^DOps(\"s\",s)) w:s=\"\" c q:s=\"\"  "
                                "s c=c+1"),
              std::to_string(AwkwardStrings().size()));
}

TEST_F(DataOperations, NumbersAndTheirStringsNameOneNode) {
    TMDatabase& db = Db();
    const struct {
        TMSubscript number;
        std::string sameString;
    } cases[] = {
        {1, "1"},
        {-7, "-7"},
        {0, "0"},
        {0.5, ".5"},
        {-0.5, "-.5"},
        {1000.0, "1000"},
        {2.5e-7, ".00000025"},
        {123456789012345678LL, "123456789012345678"},
        {TMSubscript::Number("-12.75"), "-12.75"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sameString);
        connect_->Kill("^DOps");
        db.Set(TMRef("^DOps", {c.number}), "n");
        EXPECT_EQ(db.Get(TMRef("^DOps", {c.sameString})), "n");
        EXPECT_EQ(db.Order(TMRef("^DOps", {""})), c.sameString); // M gives the canonical text
        EXPECT_EQ(connect_->Read("$O(^DOps(\"\"),-1)"), c.sameString);
    }
    // Strings that look like numbers but are not canonical are strings: five nodes besides 1.
    connect_->Kill("^DOps");
    db.Set(TMRef("^DOps", {1}), "number");
    for (const char* text : {"01", "1.0", "1E3", "-0", " 1"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(db.Data(TMRef("^DOps", {text})), 0);
        db.Set(TMRef("^DOps", {text}), text);
    }
    EXPECT_EQ(db.Get(TMRef("^DOps", {1})), "number");
    EXPECT_EQ(connect_->Read("$O(^DOps(\"\"))"), "1"); // numbers collate first
    int count = 0;
    for (std::string s = db.Order(TMRef("^DOps", {""})); !s.empty();
         s = db.Order(TMRef("^DOps", {s})))
        ++count;
    EXPECT_EQ(count, 6);
}

TEST_F(DataOperations, OrderAndQueryWalkAwkwardSubscripts) {
    TMDatabase& db = Db();
    for (const std::string& s : AwkwardStrings())
        db.Set(TMRef("^DOps", {"q", s, 2}), "deep " + s);
    db.Set(TMRef("^DOps", {"r"}), "after");
    // $ORDER over the level, forward and back, sees every subscript once, as bytes.
    std::vector<std::string> forward, backward;
    for (std::string s = db.Order(TMRef("^DOps", {"q", ""})); !s.empty();
         s = db.Order(TMRef("^DOps", {"q", s})))
        forward.push_back(s);
    for (std::string s = db.Order(TMRef("^DOps", {"q", ""}), -1); !s.empty();
         s = db.Order(TMRef("^DOps", {"q", s}), -1))
        backward.push_back(s);
    ASSERT_EQ(forward.size(), AwkwardStrings().size());
    EXPECT_TRUE(std::equal(forward.begin(), forward.end(), backward.rbegin()));
    // $QUERY: each node comes back as a reference that reads its own value.
    size_t nodes = 0;
    std::optional<TMRef> at = TMRef("^DOps", {"q"});
    while ((at = db.Query(*at)) && at->Subscripts()[0].Value() == "q") {
        ASSERT_EQ(at->Subscripts().size(), 3u);
        EXPECT_TRUE(db.Get(*at) == "deep " + at->Subscripts()[1].Value());
        ++nodes;
    }
    EXPECT_EQ(nodes, AwkwardStrings().size());
    ASSERT_TRUE(at);
    const std::string after = at->Text();
    // Backward (GT.M's $QUERY goes forward only; the library steps back with $ORDER): the same
    // nodes in the reverse order, and the parent with a value between its children and the node
    // before it.
    db.Set(TMRef("^DOps", {"q"}), "parent");
    std::vector<std::string> reversed;
    at = TMRef("^DOps", {"r"});
    while ((at = db.Query(*at, -1)))
        reversed.push_back(at->Text());
    ASSERT_EQ(reversed.size(), AwkwardStrings().size() + 1);
    EXPECT_EQ(reversed.back(), "^DOps(\"q\")");
    for (size_t i = 0; i < forward.size(); ++i)
        EXPECT_EQ(reversed[i], TMRef("^DOps", {"q", forward[forward.size() - 1 - i], "2"}).Text());
    EXPECT_EQ(after, "^DOps(\"r\")");
    EXPECT_FALSE(db.Query(TMRef("^DOps", {"r"})));
    const std::optional<TMRef> last = db.Query(TMRef("^DOps", {"r"}), -1);
    ASSERT_TRUE(last);
    EXPECT_EQ(db.Get(*last), "deep " + forward.back());
    EXPECT_THROW(db.Order(TMRef("^DOps")), EMRefError);
    EXPECT_THROW(db.Order(TMRef("^DOps", {1}), 2), EMRefError);
}

TEST_F(DataOperations, IncrementMergeAndTheirNumbers) {
    TMDatabase& db = Db();
    const TMRef counter("^DOps", {"count", "\") k ^DOpsCanary ;"});
    EXPECT_EQ(db.Increment(counter), "1");
    EXPECT_EQ(db.Increment(counter, 41), "42");
    EXPECT_EQ(db.Increment(counter, -0.5), "41.5");
    EXPECT_EQ(db.Increment(counter, "-.5"), "41");
    for (const char* bad : {"1E3", "01", "- 1", "1) k ^DOpsCanary", ""})
        EXPECT_THROW(db.Increment(counter, bad), EMRefError) << bad;
    EXPECT_EQ(db.Get(counter), "41");

    db.Set(TMRef("^DOps", {"from"}), "top");
    for (const std::string& s : AwkwardStrings())
        db.Set(TMRef("^DOps", {"from", s}), s);
    db.Merge(TMRef("DOpsCopy"), TMRef("^DOps", {"from"}));
    // The target's key is no longer than the source's: keys of GT.M hold 1019 bytes.
    const TMRef to("^DOps", {1, "\""});
    db.Merge(to, TMRef("DOpsCopy"));
    EXPECT_EQ(db.Get(to), "top");
    for (const std::string& s : AwkwardStrings())
        EXPECT_TRUE(db.Get(to.Child(s)) == s) << MText(s);
}

TEST_F(DataOperations, TwoClientsIncrementingOneNodeLoseNoIncrement) {
    const TMRef counter("^DOps", {"shared"});
    auto second = Open(Shared());
    auto run = [&](TQdoConnect& connection) {
        TMDatabase db(connection);
        for (int i = 0; i < 10000; ++i)
            db.Increment(counter);
    };
    std::thread other(run, std::ref(*second));
    run(*connect_);
    other.join();
    EXPECT_EQ(Db().Get(counter), "20000");
}

TEST_F(DataOperations, ALockHeldByOneClientIsRefusedToAnotherUntilReleased) {
    auto second = Open(Shared());
    TMDatabase first(*connect_);
    TMDatabase other(*second);
    const TMRef resource("^DOps", {"lock", std::string("\0\"", 2)});
    EXPECT_TRUE(first.Lock(resource, 0));
    EXPECT_TRUE(first.Lock(resource, 0)); // incremental: twice by the same job
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(other.Lock(resource, 0.3));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_FALSE(other.Lock(resource.Child(1), 0)); // a lock covers the nodes below it
    EXPECT_TRUE(other.Lock(TMRef("^DOps", {"lock", "other"}), 0));
    first.Unlock(resource);
    EXPECT_FALSE(other.Lock(resource, 0)); // one level is still held
    first.Unlock(resource);
    EXPECT_TRUE(other.Lock(resource, 0));
    other.UnlockAll();
    EXPECT_TRUE(first.Lock(resource, 0));
    // Locks go with the session.
    connect_->SetActive(false);
    EXPECT_TRUE(other.Lock(resource, 5));
    other.UnlockAll();
    connect_ = Open(Shared());
}

// The routine the Function and Procedure tests call, written into the server's data directory
// and linked into the session's job by its path (jobs work in the data directory, where the
// object file goes), so that the server's own routine folder is left alone.
void WriteTestRoutine(TQdoConnect& connect) {
    const std::filesystem::path source =
        std::filesystem::absolute(Shared().DataDirectory()) / "DOpsTest.m";
    std::ofstream(source) << "DOpsTest ; routine of the data-operations tests\n"
                             "Join(a,b) q $L(a)_\":\"_a_\"|\"_b\n"
                             "Echo(a,b) w $L(a),\":\",a,\"|\",b q\n"
                             "Twice(n) q n*2\n"
                             "NoArgs() q \"none\"\n";
    connect.Execute("zlink " + MText(source.string()));
}

TEST_F(DataOperations, FunctionsAndProceduresGetTheirArgumentsAsData) {
    TMDatabase& db = Db();
    WriteTestRoutine(*connect_);
    EXPECT_EQ(db.Function(TMEntryRef("FUNC^%DH"), {255, 4}), "00FF"); // a routine of GT.M's
    EXPECT_EQ(db.Function(TMEntryRef("Twice^DOpsTest"), {-0.25}), "-.5");
    EXPECT_EQ(db.Function(TMEntryRef("NoArgs^DOpsTest"), {}), "none");
    for (const std::string& s : AwkwardStrings()) {
        SCOPED_TRACE(MText(s));
        const std::string expected = std::to_string(s.size()) + ":" + s + "|7";
        EXPECT_TRUE(db.Function(TMEntryRef("Join^DOpsTest"), {s, 7}) == expected);
        EXPECT_TRUE(db.Procedure(TMEntryRef("Echo", "DOpsTest"), {s, 7}) == expected);
    }
    EXPECT_THROW(db.Function(TMEntryRef("Missing^DOpsTest"), {}), EMServerError);
}

TEST_F(DataOperations, AGroupReadHandlerIsSetAsideAndPutBack) {
    TMDatabase& db = Db();
    const std::string big(100000, 'b');
    db.Set(TMRef("^DOps", {"big"}), big);
    int calls = 0;
    connect_->OnGroupRead = [&](TObject*, const std::string&, bool&) { ++calls; };
    EXPECT_TRUE(db.Get(TMRef("^DOps", {"big"})) == big);
    EXPECT_EQ(db.Children(TMRef("^DOps")).begin()->Value.size(), big.size());
    EXPECT_THROW(db.Get(TMRef("^DOps", {"missing"})), EMServerError);
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(connect_->OnGroupRead) << "the handler is back after a failure as well";
    connect_->Read("^DOps(\"big\")");
    EXPECT_GT(calls, 0);
    connect_->OnGroupRead = nullptr;
}

TEST_F(DataOperations, ALineTooLongForGTMFailsBeforeItIsSent) {
    TMDatabase& db = Db();
    const TMRef huge("^DOps", {std::string(3000, '\x01')}); // $C(1,1,...): some 6 KB of code
    EXPECT_THROW(db.Merge(huge, huge), EMRefError);
    EXPECT_THROW(db.Get(TMRef("^DOps"), std::string(9000, 'x')), EMRefError);
    EXPECT_EQ(connect_->Read("1+1"), "2"); // nothing half-sent
    EXPECT_THROW(TMRef("^DOps(1)"), EMRefError);
    EXPECT_THROW(TMRef("DOps k ^DOpsCanary"), EMRefError);
    EXPECT_THROW(db.Children(TMRef("%qdoK")).begin(), EMRefError);
}

TEST(DataOperationsExample, Runs) {
    const std::string command = std::string(QDO_EXAMPLE_DATA_OPERATIONS) + " 127.0.0.1 " +
                                std::to_string(Shared().Port()) + " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    auto connect = Open(Shared());
    TMDatabase db(*connect);
    EXPECT_EQ(db.Get(TMRef("^Person", {2, "name"})), "Robert\") k ^Person s x=(\"");
    EXPECT_EQ(db.Get(TMRef("^Person", {1, "hex"})), "00FF");
    connect->Execute("k ^Person,^PersonByName");
}

} // namespace
} // namespace qdo
