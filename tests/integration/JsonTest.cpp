// Against qdo-server: JSON export and import of subtrees. Documents round-trip byte for byte
// where the mapping says they do, import sets exactly the nodes the mapping names, errors stop
// an import at their point, and a large export reaches its sink batch by batch.
#include "connect/Json.h"
#include "SharedServer.h"
#include "connect/Database.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace qdo {
namespace {

using test::Open;
using test::Shared;

class Json : public ::testing::Test {
protected:
    void SetUp() override {
        connect_ = Open(Shared());
        connect_->Kill("^JTest");
        db_ = std::make_unique<TMDatabase>(*connect_);
    }
    void TearDown() override {
        if (connect_ && connect_->Active())
            connect_->Kill("^JTest");
    }

    uint64_t Import(const std::string& document, const TMRef& root,
                    const TMJsonImportOptions& options = {}) {
        std::istringstream in(document);
        return ImportJson(*db_, root, in, options);
    }
    std::string Export(const TMRef& root, const TMJsonExportOptions& options = {}) {
        std::ostringstream out;
        ExportJson(*db_, root, out, options);
        return out.str();
    }

    std::unique_ptr<TQdoConnect> connect_;
    std::unique_ptr<TMDatabase> db_;
};

TEST_F(Json, DocumentsRoundTripByteForByte) {
    const char* documents[] = {
        R"({"a":1,"b":"x"})",
        R"([1,2,3])",
        R"([[1,2],[3],{"k":[4]}])",
        R"({"":"own value","1":"one","x":[10,"ten",{"y":0.5}]})",
        R"({"":"v","1":"a","2":"b"})", // 1..n with a value of its own stays an object
        R"({"2":"b","5":"e"})",        // numbers with gaps make an object
        R"({"-1":"m",".5":"h","0.5":"s","a":"s"})",
        R"(["01","1.0","-0"," 1","1e3","","1.",12,-0.25,100000000000000000000])",
        R"({"café":"€😀","ключ":["日本"]})",
        R"(["a\"b\\c\nd\t\u0001\u001f/"])",
        R"({"deep":{"er":{"and":{"deeper":[[[[["bottom"]]]]]}}}})",
        R"("just a string")",
        R"(42)",
        R"(-0.000001)",
        R"(null)",
    };
    int index = 0;
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        const TMRef root("^JTest", {++index});
        Import(document, root);
        EXPECT_EQ(Export(root), document);
    }
}

TEST_F(Json, WhatTheMappingChangesComesBackInItsOwnForm) {
    const struct {
        const char* document;
        const char* exported;
    } cases[] = {
        {R"({"b":2,"a":1})", R"({"a":1,"b":2})"},          // M's collation orders the keys
        {R"({"x":"1","y":"-.5"})", R"({"x":1,"y":-0.5})"}, // canonical numbers become numbers
        {R"([1.50,1e3,-0,2.5E-2])", R"([1.5,1000,0,0.025])"},
        {R"([true,false])", R"([1,0])"},
        {R"({"1":"a","2":"b"})", R"(["a","b"])"},
        {R"({"2":"b","1":"a"})", R"(["a","b"])"},
        {R"([1,null,3])", R"({"1":1,"3":3})"},
        {R"({"a":{},"b":[],"c":null,"d":"kept"})", R"({"d":"kept"})"},
        {R"({"":"v"})", R"("v")"},
        {" \t\n[ 1 , \"a\" ]\r\n ", R"([1,"a"])"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const TMRef root("^JTest", {++index});
        Import(c.document, root);
        EXPECT_EQ(Export(root), c.exported);
    }
}

TEST_F(Json, ImportSetsExactlyTheNodesTheDocumentNames) {
    const uint64_t set =
        Import(R"({"a":[1,{"b":true}],"n":null,"x":{"":"v","y":false},"7":"seven","s":"x\u0000y"})",
               TMRef("^JTest", {"r"}));
    EXPECT_EQ(set, 6u);
    EXPECT_EQ(db_->Get(TMRef("^JTest", {"r", "a", 1})), "1");
    EXPECT_EQ(db_->Get(TMRef("^JTest", {"r", "a", 2, "b"})), "1");
    EXPECT_EQ(db_->Data(TMRef("^JTest", {"r", "n"})), 0);
    EXPECT_EQ(db_->Get(TMRef("^JTest", {"r", "x"})), "v");
    EXPECT_EQ(db_->Get(TMRef("^JTest", {"r", "x", "y"})), "0");
    EXPECT_EQ(db_->Get(TMRef("^JTest", {"r", 7})), "seven"); // the key "7" names the number 7
    EXPECT_EQ(db_->Get(TMRef("^JTest", {"r", "s"})), std::string("x\0y", 3));
    EXPECT_EQ(db_->Data(TMRef("^JTest", {"r"})), 10);
    // A local variable of the session's job is a root like any other.
    Import(R"({"l":[5]})", TMRef("JLocal"));
    EXPECT_EQ(db_->Get(TMRef("JLocal", {"l", 1})), "5");
    EXPECT_EQ(Export(TMRef("JLocal")), R"({"l":[5]})");
}

TEST_F(Json, AnErrorStopsTheImportAtItsPoint) {
    // The values complete before the error are set; nothing after it.
    const struct {
        const char* document;
        const char* message;
    } cases[] = {
        {R"({"a":1,"b":[2,3],"c":tru,"d":4})", "invalid JSON at byte offset 24"},
        {R"({"a":1,"b":[2,3],"c":12345678901234567890,"d":4})", "^JTest(\"c\")"},
        {R"({"a":1,"b":[2,3],"c":1e47,"d":4})", "range"},
        {R"({"a":1,"b":[2,3],"c":{"":[]},"d":4})", "key \"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        connect_->Kill("^JTest");
        try {
            Import(c.document, TMRef("^JTest"));
            ADD_FAILURE() << "no error";
        } catch (const EMJsonError& error) {
            EXPECT_NE(error.Message().find(c.message), std::string::npos) << error.Message();
        }
        EXPECT_EQ(Export(TMRef("^JTest")), R"({"a":1,"b":[2,3]})");
    }
}

// A value the server refuses (its key is longer than GT.M's 1019 bytes) stops the import there:
// the values before it in its batch are set, none after it, and the error names the node.
TEST_F(Json, AValueTheServerRefusesStopsTheImportAndIsNamed) {
    const std::string longKey(1100, 'k');
    try {
        Import(R"({"a":1,")" + longKey + R"(":2,"z":3})", TMRef("^JTest"));
        ADD_FAILURE() << "no error";
    } catch (const EMServerError& error) {
        EXPECT_NE(error.Message().find("did not set ^JTest(\"kkk"), std::string::npos)
            << error.Message();
        EXPECT_FALSE(error.ECode.empty());
    }
    EXPECT_EQ(Export(TMRef("^JTest")), R"({"a":1})");
}

TEST_F(Json, ImportMergesIntoAnExistingTreeOrReplacesItWhenAsked) {
    connect_->Execute("s ^JTest(\"keep\")=\"old\",^JTest(\"a\")=\"old\",^JTest(\"a\",\"b\")=1");
    Import(R"({"a":"new","c":[1]})", TMRef("^JTest"));
    EXPECT_EQ(Export(TMRef("^JTest")), R"({"a":{"":"new","b":1},"c":[1],"keep":"old"})");
    TMJsonImportOptions replace;
    replace.KillRootFirst = true;
    Import(R"({"a":"new","c":[1]})", TMRef("^JTest"), replace);
    EXPECT_EQ(Export(TMRef("^JTest")), R"({"a":"new","c":[1]})");
}

TEST_F(Json, BytesThatAreNotUtf8FailTheExportNamingTheNode) {
    db_->Set(TMRef("^JTest", {"v", "ok"}), "fine");
    db_->Set(TMRef("^JTest", {"v", "bad"}), "caf\xe9");
    db_->Set(TMRef("^JTest", {"s", "\xff", "x"}), "fine");
    const struct {
        TMRef root;
        const char* message;
    } cases[] = {
        {TMRef("^JTest", {"v"}),
         "the value of ^JTest(\"v\",\"bad\") is not valid UTF-8; JSON cannot carry it."},
        {TMRef("^JTest", {"s"}), "the subscript of ^JTest(\"s\",\"\\xff\") is not valid UTF-8"},
        {TMRef("^JTest", {"v", "bad"}), "the value of ^JTest(\"v\",\"bad\")"},
    };
    for (const auto& c : cases) {
        try {
            Export(c.root);
            ADD_FAILURE() << "no error for " << c.root.Text();
        } catch (const EMJsonError& error) {
            EXPECT_NE(error.Message().find(c.message), std::string::npos) << error.Message();
        }
    }
}

TEST_F(Json, ALargeSubtreeIsExportedBatchByBatch) {
    // 100,000 nodes: 100 arrays of 1,000 values, and one object with gaps.
    connect_->Execute("f i=1:1:100 f j=1:1:1000 s ^JTest(\"big\",i,j)=\"value \"_i_\"/\"_j");
    connect_->Execute("f j=2:2:200 s ^JTest(\"big\",\"gaps\",j)=j");
    size_t pieces = 0;
    size_t largest = 0;
    std::string text;
    ExportJson(*db_, TMRef("^JTest", {"big"}), [&](std::string_view piece) {
        ++pieces;
        largest = std::max(largest, piece.size());
        text += piece;
    });
    // One piece per batch of at most 1,000 nodes or 32 KiB of subscripts and values: no piece
    // holds much more than a batch's text.
    EXPECT_GE(pieces, 100u);
    EXPECT_LT(largest, 64u * 1024);
    EXPECT_GT(text.size(), 1'400'000u);
    const nlohmann::json parsed = nlohmann::json::parse(text);
    ASSERT_TRUE(parsed.is_object());
    ASSERT_EQ(parsed.size(), 101u);
    EXPECT_EQ(parsed["1"].size(), 1000u);
    EXPECT_EQ(parsed["100"][999], "value 100/1000");
    EXPECT_EQ(parsed["gaps"]["200"], 200);
    size_t leaves = 0;
    for (const auto& [key, member] : parsed.items())
        leaves += member.size();
    EXPECT_EQ(leaves, 100'100u);
    // Smaller batches give the same text.
    TMJsonExportOptions small;
    small.BatchNodes = 7;
    small.BatchBytes = 100;
    EXPECT_EQ(Export(TMRef("^JTest", {"big", "gaps"}), small),
              Export(TMRef("^JTest", {"big", "gaps"})));
}

TEST_F(Json, TheExampleRunsAgainstTheServer) {
    const std::string command =
        std::string(QDO_EXAMPLE_JSON) + " 127.0.0.1 " + std::to_string(Shared().Port());
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(output, "set 8 nodes; the second price is 10\n"
                      R"({"items":[{"price":2.5,"sku":"A-1"},{"price":10,"sku":"B-2"}],)"
                      R"("name":"Corner shop","open":1,"tags":{"":"main","since":1999}})"
                      "\nrefused at byte 31; the name is now Other shop\n");
    connect_->Kill("^Shop");
}

} // namespace
} // namespace qdo
