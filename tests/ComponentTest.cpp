// The class library's components, string lists and streams.
#include "classes/Component.h"
#include "classes/Application.h"
#include "classes/Exceptions.h"
#include "classes/Streams.h"
#include "classes/StringList.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace qdo {
namespace {

std::vector<std::string>* destroyed = nullptr;

class Tracked : public TComponent {
public:
    explicit Tracked(TComponent* owner, std::string name) : TComponent(owner) { SetName(name); }
    ~Tracked() override {
        if (destroyed)
            destroyed->push_back(Name());
    }
    int loadedCalls = 0;
    void Loaded() override {
        TComponent::Loaded();
        ++loadedCalls;
    }
};

TEST(Component, OwnerDestroysWhatItOwnsLastAddedFirst) {
    std::vector<std::string> log;
    destroyed = &log;
    {
        Tracked owner(nullptr, "owner");
        new Tracked(&owner, "a");
        auto* b = new Tracked(&owner, "b");
        new Tracked(b, "b.child");
        auto* c = new Tracked(&owner, "c");
        EXPECT_EQ(owner.ComponentCount(), 3);
        delete c; // leaves the owner's list by itself
        EXPECT_EQ(owner.ComponentCount(), 2);
        EXPECT_EQ(owner.Components(1), b);
        EXPECT_THROW(owner.Components(2), EListError);
    }
    destroyed = nullptr;
    EXPECT_EQ(log, (std::vector<std::string>{"c", "owner", "b", "b.child", "a"}));
}

TEST(Component, TagNameStateAndLoading) {
    Tracked owner(nullptr, "owner");
    auto* child = new Tracked(&owner, "child");
    int anything = 0;
    owner.SetTag(reinterpret_cast<intptr_t>(&anything));
    EXPECT_EQ(reinterpret_cast<int*>(owner.Tag()), &anything);
    EXPECT_EQ(owner.ClassName(), "Tracked");

    owner.SetDesigning(true);
    EXPECT_TRUE(child->IsDesigning());
    owner.SetDesigning(false);
    EXPECT_FALSE(child->IsDesigning());

    owner.Loading();
    EXPECT_TRUE(owner.IsLoading());
    owner.Loaded();
    EXPECT_FALSE(owner.IsLoading());
    EXPECT_EQ(owner.loadedCalls, 1);

    Tracked other(nullptr, "other");
    other.InsertComponent(child); // moves from one owner to another
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(child->Owner(), &other);
}

TEST(Component, DesignMessagesGoThroughTheReplaceableHook) {
    std::vector<std::string> shown;
    SetDesignMessageHook([&](const std::string& text, const std::string& caption) {
        shown.push_back(caption + "|" + text);
    });
    ShowDesignMessage("Can't change property.", "Quendo");
    SetDesignMessageHook(nullptr);
    EXPECT_EQ(shown, std::vector<std::string>{"Quendo|Can't change property."});
}

TEST(StringList, TextJoinsAndSplitsLines) {
    const struct {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\rb\nc\r\n\r\nd", {"a", "b", "c", "", "d"}},
        {"\n", {""}},
        {"\r\r", {"", ""}},
        {std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}}, // the text ends at its first NUL
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TStringList list;
        list.Add("old");
        list.SetText(c.text);
        EXPECT_EQ(list.Lines(), c.lines);
    }
    TStringList list;
    EXPECT_EQ(list.Text(), "");
    list.Add("X");
    EXPECT_EQ(list.Text(), "X\r\n");
    list.Add("");
    list.Insert(0, "first");
    EXPECT_EQ(list.Text(), "first\r\nX\r\n\r\n");
    EXPECT_EQ(list.IndexOf("X"), 1);
    list.Delete(1);
    EXPECT_EQ(list.IndexOf("X"), -1);
    EXPECT_THROW(list.Get(2), EListError);
    EXPECT_THROW(list.Insert(4, "x"), EListError);
    EXPECT_THROW(list.Delete(-1), EListError);

    TStringList copy;
    copy.Assign(&list);
    EXPECT_EQ(copy.Lines(), list.Lines());
}

TEST(Streams, MemoryStreamReadsWritesAndSeeks) {
    TMemoryStream stream;
    stream.WriteBuffer("hello", 5);
    EXPECT_EQ(stream.Size(), 5);
    EXPECT_EQ(stream.Position(), 5);
    stream.SetPosition(8);
    stream.WriteBuffer("!", 1); // past the end: the gap reads as zeros
    EXPECT_EQ(stream.DataString(), std::string("hello\0\0\0!", 9));

    stream.SetPosition(1);
    char buffer[16];
    EXPECT_EQ(stream.Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "ell");
    EXPECT_EQ(stream.Seek(-2, soEnd), 7);
    EXPECT_EQ(stream.Read(buffer, 16), 2);
    EXPECT_EQ(stream.Read(buffer, 16), 0);
    EXPECT_THROW(stream.ReadBuffer(buffer, 1), EReadError);
    EXPECT_EQ(stream.Seek(-100, soCurrent), 0);

    stream.SetSize(2);
    EXPECT_EQ(stream.DataString(), "he");
    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(stream, 0), 2);
    EXPECT_EQ(copy.DataString(), "he");
    stream.Clear();
    EXPECT_EQ(stream.Size(), 0);
}

TEST(Streams, FileStreamCreatesOpensAndFails) {
    const auto path =
        std::filesystem::temp_directory_path() / ("qdo-stream-" + std::to_string(::getpid()));
    {
        TFileStream file(path.string(), fmCreate);
        file.WriteBuffer("line one\n", 9);
        EXPECT_EQ(file.Size(), 9);
    }
    {
        TFileStream file(path.string(), fmOpenRead);
        TMemoryStream memory;
        memory.LoadFromStream(file);
        EXPECT_EQ(memory.DataString(), "line one\n");
        EXPECT_THROW(file.WriteBuffer("x", 1), EWriteError);
    }
    TMemoryStream reloaded;
    reloaded.LoadFromFile(path.string());
    EXPECT_EQ(reloaded.Size(), 9);
    std::filesystem::remove(path);

    try {
        TFileStream missing((path / "no" / "such").string(), fmOpenRead);
        FAIL() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message().find("Cannot open file"), std::string::npos);
    }
    EXPECT_THROW(TFileStream((path / "no" / "such").string(), fmCreate), EFCreateError);
}

} // namespace
} // namespace qdo
