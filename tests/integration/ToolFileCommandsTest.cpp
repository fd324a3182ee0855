// qdo's commands with a file of their own, run as a user runs them against the reference server:
// export and import of a subtree as JSON, and an operations file run as a transaction or a batch;
// on the command line and in the shell.
#include "ServerProcess.h"
#include "SharedServer.h"
#include "connect/Database.h"
#include "connect/Qdoconnect.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qdo {
namespace {

using test::ServerProcess;
using test::Shared;

// Runs qdo on the shared server with `arguments`; its status, and stdout and stderr in `output`.
int QdoWithFiles(const std::vector<std::string>& arguments, std::string& output,
                 const std::string& input = {}) {
    std::vector<std::string> command{QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port())};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return ServerProcess::Run(command, output, input);
}

// A fresh folder for a test's files, removed with it.
class ToolFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdo-tool-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        connect_ = test::Open(Shared());
        connect_->Kill("^ToolF");
    }
    void TearDown() override {
        if (connect_ && connect_->Active())
            connect_->Kill("^ToolF");
        std::filesystem::remove_all(folder_);
    }

    std::string Path(const std::string& name) const { return folder_ + "/" + name; }
    void WriteFile(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Every node below `root` as "subscripts=value" lines, the subscripts after the root's.
    std::string Nodes(const TMRef& root) {
        std::string nodes;
        TMDatabase db(*connect_);
        for (const TMNode& node : db.Subtree(root)) {
            for (size_t i = root.Subscripts().size(); i < node.Ref.Subscripts().size(); ++i)
                nodes += "(" + node.Ref.Subscripts()[i].Value() + ")";
            nodes += "=" + node.Value + "\n";
        }
        return nodes;
    }

    std::string folder_;
    std::unique_ptr<TQdoConnect> connect_;
};

// Values with quotes, backslashes, every control byte, DEL and multi-byte UTF-8, at several
// depths, beside a node with a value and children: exported to a file and to standard output
// alike, imported from the file and from standard input, they come back byte for byte.
TEST_F(ToolFiles, ExportAndImportRoundTripANestedSubtree) {
    std::string controls;
    for (int b = 0; b < 32; ++b)
        controls += static_cast<char>(b);
    controls += "\x7f";
    TMDatabase db(*connect_);
    const TMRef source("^ToolF", {"src"});
    db.Set(source.Child("q"), "say \"hi\" \\ and \\\"");
    db.Set(source.Child("c"), controls);
    db.Set(TMRef("^ToolF", {"src", "deep", 1, "x y"}), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    db.Set(TMRef("^ToolF", {"src", "deep", 2}), "-.5");
    db.Set(TMRef("^ToolF", {"src", "both"}), "own value");
    db.Set(TMRef("^ToolF", {"src", "both", "child"}), "");
    const std::string before = Nodes(source);

    std::string out;
    ASSERT_EQ(QdoWithFiles({"export", "^ToolF(\"src\")", Path("tree.json")}, out), 0) << out;
    EXPECT_EQ(out, "");
    ASSERT_EQ(QdoWithFiles({"export", "^ToolF(\"src\")"}, out), 0) << out;
    EXPECT_EQ(out, ReadFile("tree.json")); // the same text either way
    EXPECT_EQ(out.back(), '\n');

    ASSERT_EQ(QdoWithFiles({"import", "^ToolF(\"file\")", Path("tree.json")}, out), 0) << out;
    EXPECT_EQ(out, "6\n");
    EXPECT_EQ(Nodes(TMRef("^ToolF", {"file"})), before);
    ASSERT_EQ(QdoWithFiles({"import", "^ToolF(\"in\",1)", "-"}, out, ReadFile("tree.json")), 0)
        << out;
    EXPECT_EQ(out, "6\n");
    EXPECT_EQ(Nodes(TMRef("^ToolF", {"in", 1})), before);
    EXPECT_EQ(db.Get(TMRef("^ToolF", {"in", 1, "c"})), controls);

    // --replace makes the subtree exactly the document; without it the document is merged.
    db.Set(TMRef("^ToolF", {"file", "extra"}), "stays");
    ASSERT_EQ(QdoWithFiles({"import", "^ToolF(\"file\")", Path("tree.json")}, out), 0) << out;
    EXPECT_EQ(db.Data(TMRef("^ToolF", {"file", "extra"})), 1);
    ASSERT_EQ(QdoWithFiles({"import", "--replace", "^ToolF(\"file\")", Path("tree.json")}, out), 0)
        << out;
    EXPECT_EQ(Nodes(TMRef("^ToolF", {"file"})), before);
}

TEST_F(ToolFiles, WhatJsonCannotCarryOrReadFailsWithItsPlace) {
    std::string out;
    // Invalid JSON: the byte offset, a failing status, and the values before it set.
    EXPECT_EQ(QdoWithFiles({"import", "^ToolF(\"bad\")", "-"}, out, R"({"a":1,"b":[2,3],"c":tru})"),
              1);
    EXPECT_NE(out.find("invalid JSON at byte offset 24"), std::string::npos) << out;
    EXPECT_EQ(Nodes(TMRef("^ToolF", {"bad"})), "(a)=1\n(b)(1)=2\n(b)(2)=3\n");

    // A value that is not UTF-8 fails the export naming the node; the half-written file goes.
    TMDatabase db(*connect_);
    db.Set(TMRef("^ToolF", {"bin", "a"}), "fine");
    db.Set(TMRef("^ToolF", {"bin", "b"}), "\xff\xfe");
    EXPECT_EQ(QdoWithFiles({"export", "^ToolF(\"bin\")", Path("bin.json")}, out), 1);
    EXPECT_NE(out.find("^ToolF(\"bin\",\"b\") is not valid UTF-8"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(Path("bin.json")));

    const struct {
        std::vector<std::string> arguments;
        std::string output; // a part of it
    } usage[] = {
        {{"import", "^ToolF", Path("missing.json")}, "there is no file"},
        {{"import", "^ToolF(01)", "-"}, "not a canonical number"},
        {{"import", "^ToolF"}, "FILE is required"},
        {{"export", "^ToolF(\"a\""}, "expected ',' or ')'"},
    };
    for (const auto& c : usage) {
        SCOPED_TRACE(c.arguments.back());
        EXPECT_EQ(QdoWithFiles(c.arguments, out), 2) << out;
        EXPECT_NE(out.find(c.output), std::string::npos) << out;
    }
}

TEST_F(ToolFiles, ATransactionPrintsItsResultsOrAppliesNothing) {
    std::string out;
    WriteFile("ok.txt", "# a transfer\n"
                        "set ^ToolF(\"acct\",1) 100\n"
                        "set ^ToolF(\"acct\",2) \"x\"\"y\"_$C(0)\n"
                        "incr ^ToolF(\"acct\",1) -30\n"
                        "incr ^ToolF(\"n\")\n"
                        "get ^ToolF(\"acct\",2)\n"
                        "kill ^ToolF(\"gone\")\n");
    ASSERT_EQ(QdoWithFiles({"tx", Path("ok.txt")}, out), 0) << out;
    EXPECT_EQ(out, "70\n1\n\"x\"\"y\"_$C(0)\n"); // results typed as they can be typed back

    // A get of a node without a value is an M error inside: nothing of it stays.
    const std::string failing = "set ^ToolF(\"acct\",1) 0\n"
                                "kill ^ToolF(\"acct\",2)\n"
                                "incr ^ToolF(\"n\")\n"
                                "get ^ToolF(\"none\")\n";
    EXPECT_EQ(QdoWithFiles({"tx", "-"}, out, failing), 1);
    EXPECT_NE(out.find("nothing of it applied"), std::string::npos) << out;
    EXPECT_NE(out.find("GVUNDEF"), std::string::npos) << out;
    EXPECT_EQ(Nodes(TMRef("^ToolF")),
              "(acct)(1)=70\n(acct)(2)=x\"y" + std::string(1, '\0') + "\n(n)=1\n");

    // A file that is not all operations, or a local in a transaction: a usage error, nothing sent.
    for (const std::string& file : {std::string("set ^ToolF(\"acct\",1) 0\nfrobnicate\n"),
                                    std::string("kill ^ToolF\nset W 1\n")}) {
        EXPECT_EQ(QdoWithFiles({"tx", "-"}, out, file), 2) << out;
        EXPECT_NE(out.find("line 2: "), std::string::npos) << out;
    }
    EXPECT_EQ(connect_->Read("^ToolF(\"acct\",1)"), "70");
}

// A batch runs its lines in order up to the first that fails: the results before it are printed,
// the line and the M error named, the lines before it applied and none after it.
TEST_F(ToolFiles, ABatchStopsAtItsFailingLineAndNamesIt) {
    std::string out;
    const std::string file = "set ^ToolF(\"b\",1) \"one\"\n"
                             "incr ^ToolF(\"b\",\"n\") 5\n"
                             "\n"
                             "get ^ToolF(\"b\",1)\n"
                             "get ^ToolF(\"b\",\"none\")\n"
                             "set ^ToolF(\"b\",2) \"after\"\n";
    EXPECT_EQ(QdoWithFiles({"batch", "-"}, out, file), 1);
    EXPECT_EQ(out.find("5\n\"one\"\n"), 0u) << out;
    EXPECT_NE(out.find("line 5 (get ^ToolF(\"b\",\"none\")) failed: "), std::string::npos) << out;
    EXPECT_NE(out.find("GVUNDEF"), std::string::npos) << out;
    EXPECT_EQ(Nodes(TMRef("^ToolF", {"b"})), "(1)=one\n(n)=5\n");

    WriteFile("ok.txt", "kill ^ToolF(\"b\",\"n\")\nset ^ToolF(\"b\",2) 2\nget ^ToolF(\"b\",2)\n"
                        "incr ^ToolF(\"b\",2) \"-.5\"\n");
    EXPECT_EQ(QdoWithFiles({"batch", Path("ok.txt")}, out), 0) << out;
    EXPECT_EQ(out, "2\n1.5\n");
    EXPECT_EQ(Nodes(TMRef("^ToolF", {"b"})), "(1)=one\n(2)=1.5\n");
}

// The shell takes the same commands with a file; standard input holds its commands, so "-" is
// refused there.
TEST_F(ToolFiles, TheShellTakesTheCommandsWithAFile) {
    WriteFile("ops.txt", "set ^ToolF(\"sh\",\"a b\") \"v\"\nget ^ToolF(\"sh\",\"a b\")\n");
    const std::string script = "tx " + Path("ops.txt") + "\n" + "export ^ToolF(\"sh\") " +
                               Path("sh.json") + "\n" + "import ^ToolF(\"copy\",\"x y\") " +
                               Path("sh.json") + "\n" + "export ^ToolF(\"copy\")\n" + "batch -\n";
    std::string out;
    const std::vector<std::string> qdo{QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port())};
    EXPECT_EQ(ServerProcess::Run(qdo, out, script), 2) << out; // the last line's usage error
    EXPECT_EQ(out.find("\"v\"\n1\n{\"x y\":{\"a b\":\"v\"}}\n"), 0u) << out;
    EXPECT_NE(out.find("standard input holds the shell's commands"), std::string::npos) << out;
    EXPECT_EQ(ReadFile("sh.json"), "{\"a b\":\"v\"}\n");
}

} // namespace
} // namespace qdo
