// The entries of the call-in table (server/m/qdosrv.ci) as the engine calls them.
//
// GT.M's gtm_ci is variadic: it takes whatever arguments it is given and reads them as the
// table's line for the entry says, so a call with one argument too few, or an input where the
// table has an output, is undefined behaviour that no compiler sees. Here each entry carries its
// parameters as types: the engine's calls are checked against them at compile time, and a test
// renders every entry as its line of the table and compares it with the file.
#pragma once

#include <string>
#include <string_view>

namespace qdo::server::callin {

// Parameter kinds, each with its text in the table.
struct InText {
    static constexpr std::string_view Table = "I:gtm_string_t*";
};
struct InInteger {
    static constexpr std::string_view Table = "I:gtm_int_t";
};
struct OutText {
    static constexpr std::string_view Table = "O:gtm_string_t*";
};

// An entry whose caller passes arguments of kinds P. Every entry returns gtm_int_t*; one whose
// M code traps errors takes one more output last, the error's text, which the engine adds.
template <typename... P>
struct TEntry {
    std::string_view Name;  // the call-in name that gtm_ci takes
    std::string_view Label; // the M entry ref, label^routine
    bool TakesErrorText = true;
};

using Text = InText;
using Int = InInteger;
using Out = OutText;

inline constexpr TEntry<> Nop{"qdonop", "nop^qdosrv", false};
inline constexpr TEntry<Text, Int, Text, Text, Text, Text, Text, Text, Text, Text, Out> Get{
    "qdoget", "get^qdosrv"};
inline constexpr TEntry<Text, Int, Text, Text, Text, Text, Text, Text, Text, Text, Text> Set{
    "qdoset", "set^qdosrv"};
inline constexpr TEntry<Text, Text, Out> Get1{"qdoget1", "get1^qdosrv"};
inline constexpr TEntry<Text, Text, Text, Out> Get2{"qdoget2", "get2^qdosrv"};
inline constexpr TEntry<Text, Text, Text, Text, Out> Get3{"qdoget3", "get3^qdosrv"};
inline constexpr TEntry<Text, Text, Text> Set1{"qdoset1", "set1^qdosrv"};
inline constexpr TEntry<Text, Text, Text, Text> Set2{"qdoset2", "set2^qdosrv"};
inline constexpr TEntry<Text, Text, Text, Text, Text> Set3{"qdoset3", "set3^qdosrv"};
inline constexpr TEntry<Text, Int, Text, Text, Text, Text, Text, Text, Text, Text> Kill{
    "qdokill", "kill^qdosrv"};
inline constexpr TEntry<Text, Out> Eval{"qdoeval", "eval^qdosrv"};
inline constexpr TEntry<Text, Text> SetIndirect{"qdoseti", "seti^qdosrv"};
inline constexpr TEntry<Text> KillIndirect{"qdokilli", "killi^qdosrv"};
inline constexpr TEntry<Text> Xecute{"qdoxec", "xec^qdosrv"};
inline constexpr TEntry<Text> GlobalDirectory{"qdogld", "gld^qdosrv"};
inline constexpr TEntry<Text, Text, Int, Out, Out> GroupRead{"qdogrp", "grp^qdosrv"};
inline constexpr TEntry<Text, Text, Int, Int, Int, Out, Out> BatchRun{"qdobat", "bat^qdosrv"};

// The entry's line of the call-in table, as "name: gtm_int_t* label^routine(kinds)".
template <typename... P>
std::string TableLine(const TEntry<P...>& entry) {
    std::string line = std::string(entry.Name) + ": gtm_int_t* " + std::string(entry.Label) + "(";
    bool first = true;
    auto add = [&](std::string_view kind) {
        if (!first)
            line += ',';
        line += kind;
        first = false;
    };
    (add(P::Table), ...);
    if (entry.TakesErrorText)
        add(OutText::Table);
    return line + ")";
}

// Every entry's line, in the order of the file.
inline std::string TableLines() {
    std::string lines;
    for (const std::string& line :
         {TableLine(Nop), TableLine(Get), TableLine(Set), TableLine(Get1), TableLine(Get2),
          TableLine(Get3), TableLine(Set1), TableLine(Set2), TableLine(Set3), TableLine(Kill),
          TableLine(Eval), TableLine(SetIndirect), TableLine(KillIndirect), TableLine(Xecute),
          TableLine(GlobalDirectory), TableLine(GroupRead), TableLine(BatchRun)})
        lines += line + "\n";
    return lines;
}

} // namespace qdo::server::callin
