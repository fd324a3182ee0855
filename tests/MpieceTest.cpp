// TMPiece: splitting at a delimiter and replacing pieces.
#include "encodings/Mpiece.h"
#include "classes/Exceptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace qdo {
namespace {

std::vector<std::string> Pieces(const TMPiece& p) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < p.PieceCount(); ++i)
        out.push_back(p.GetPiece(i));
    return out;
}

using List = std::vector<std::string>;

TEST(Mpiece, SplitsAtEveryDelimiter) {
    const struct {
        std::string text;
        List pieces;
    } cases[] = {
        {"", {}},
        {"abc", {"abc"}},
        {":", {"", ""}},
        {"a:b:c", {"a", "b", "c"}},
        {"a::b", {"a", "", "b"}},
        {"a:", {"a", ""}},
        {":a", {"", "a"}},
        {"::", {"", "", ""}},
        {std::string("a\0:b", 4), {std::string("a\0", 2), "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TMPiece p(c.text, ':');
        EXPECT_EQ(Pieces(p), c.pieces);
        EXPECT_EQ(p.GetPiece(p.PieceCount()), "");
        EXPECT_EQ(p.Source(), c.text);
    }
    TMPiece tilde("1~2", '~');
    EXPECT_EQ(tilde.GetPiece(1), "2");
}

TEST(Mpiece, SetPieceReplacesOrAppendsAtTheIndex) {
    const struct {
        std::string text;
        int32_t index;
        std::string value;
        List pieces;
    } cases[] = {
        {"a:b:c", 1, "x", {"a", "x", "c"}},
        {"a:b:c", 0, "", {"", "b", "c"}},
        {"a:b:c", 3, "d", {"a", "b", "c", "d"}},
        {"a", 3, "v", {"a", "", "", "v"}},
        {"a", 1, "v", {"a", "v"}},
        {"", 0, "v", {"v"}},
        {"", 1, "v", {"", "v"}},
        {"", 3, "v", {"", "", "", "v"}},
        {"a:b", 2, "v", {"a", "b", "v"}},
        {"a:b", 5, "v", {"a", "b", "", "", "", "v"}},
        {"a:b", 0, std::string("x\0y", 3), {"x", "b"}},                    // up to the first NUL
        {"a:b", 1, std::string(1000, 'L'), {"a", std::string(1000, 'L')}}, // kept whole
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " @" + std::to_string(c.index));
        TMPiece p(c.text, ':');
        p.SetPiece(c.index, c.value);
        EXPECT_EQ(Pieces(p), c.pieces);
        EXPECT_EQ(p.GetPiece(c.index), c.pieces[static_cast<size_t>(c.index)]);
        EXPECT_EQ(p.Source(), c.text);
    }
}

TEST(Mpiece, NegativeIndexFailsAndChangesNothing) {
    TMPiece p("a:b", ':');
    try {
        p.GetPiece(-1);
        FAIL() << "no exception";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (-1)");
    }
    EXPECT_THROW(p.SetPiece(-3, "x"), EListError);
    EXPECT_EQ(Pieces(p), (List{"a", "b"}));
}

} // namespace
} // namespace qdo
