// The engine's call-in entries against the call-in table that GT.M reads.
#include "server/CallInTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// The table's lines, without blank lines and trailing blanks.
std::string TableFile() {
    std::ifstream file(QDO_CALL_IN_TABLE);
    std::string lines;
    std::string line;
    while (std::getline(file, line)) {
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty())
            lines += line + "\n";
    }
    return lines;
}

TEST(ServerCallInTable, EveryEntryTheEngineCallsIsTheTablesLineForIt) {
    const std::string file = TableFile();
    ASSERT_FALSE(file.empty()) << "cannot read " << QDO_CALL_IN_TABLE;
    EXPECT_EQ(qdo::server::callin::TableLines(), file);
}

TEST(ServerCallInTable, ALineShowsEachParameterKindInOrderAndTheErrorTextLast) {
    using namespace qdo::server::callin;
    EXPECT_EQ(TableLine(TEntry<>{"n", "nop^r", false}), "n: gtm_int_t* nop^r()");
    EXPECT_EQ(TableLine(TEntry<InText, InInteger, OutText>{"e", "l^r"}),
              "e: gtm_int_t* l^r(I:gtm_string_t*,I:gtm_int_t,O:gtm_string_t*,O:gtm_string_t*)");
}

} // namespace
