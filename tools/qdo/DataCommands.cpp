#include "tools/qdo/DataCommands.h"

#include "connect/Database.h"
#include "tools/qdo/RefParser.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace qdo::tool {

namespace {

void PrintLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

std::vector<std::string> SubscriptTexts(const TMRef& ref) {
    std::vector<std::string> texts;
    for (const TMSubscript& subscript : ref.Subscripts())
        texts.push_back(subscript.Value());
    return texts;
}

std::string Typed(const TMRef& ref) {
    return TypedRef(ref.Name(), SubscriptTexts(ref));
}

TMWalkOptions Walking(bool reverse) {
    TMWalkOptions options;
    options.Direction = reverse ? -1 : 1;
    return options;
}

} // namespace

void DataOf(TQdoConnect& connect, const std::string& reference) {
    const TMRef ref = ParseMRef(reference);
    PrintLine(std::to_string(TMDatabase(connect).Data(ref)));
}

void OrderOf(TQdoConnect& connect, const std::string& reference, bool reverse) {
    const TMRef ref = ParseMRef(reference);
    PrintLine(TypedValue(TMDatabase(connect).Order(ref, reverse ? -1 : 1)));
}

void QueryOf(TQdoConnect& connect, const std::string& reference, bool reverse) {
    const TMRef ref = ParseMRef(reference);
    if (const std::optional<TMRef> next = TMDatabase(connect).Query(ref, reverse ? -1 : 1))
        PrintLine(Typed(*next));
}

void IncrementOf(TQdoConnect& connect, const std::string& reference, const std::string& by) {
    const TMRef ref = ParseMRef(reference);
    PrintLine(TMDatabase(connect).Increment(ref, ParseMValue(by)));
}

void LockOf(TQdoConnect& connect, const std::string& reference, double seconds) {
    const TMRef ref = ParseMRef(reference);
    if (!TMDatabase(connect).Lock(ref, seconds)) {
        std::ostringstream within;
        within << seconds;
        throw std::runtime_error("the lock on " + Typed(ref) + " was not obtained within " +
                                 within.str() + " s: another session holds it");
    }
}

void UnlockOf(TQdoConnect& connect, const std::string& reference) {
    if (reference.empty())
        TMDatabase(connect).UnlockAll();
    else
        TMDatabase(connect).Unlock(ParseMRef(reference));
}

void Call(TQdoConnect& connect, const std::string& entry, const std::vector<std::string>& arguments,
          bool function) {
    const TMEntryRef target(entry);
    std::vector<TMSubscript> values;
    for (const std::string& argument : arguments)
        values.push_back(ParseMValue(argument));
    TMDatabase db(connect);
    if (function) {
        PrintLine(db.Function(target, values));
    } else {
        const std::string written = db.Procedure(target, values);
        std::fwrite(written.data(), 1, written.size(), stdout);
    }
}

void ListChildren(TQdoConnect& connect, const std::string& reference, bool reverse) {
    const TMRef ref = ParseMRef(reference);
    TMDatabase db(connect);
    for (const TMChild& child : db.Children(ref, Walking(reverse))) {
        std::string line = Typed(child.Ref);
        if (child.HasValue)
            line += "=" + TypedValue(child.Value);
        if (child.HasChildren)
            line += " (has children)";
        PrintLine(line);
    }
}

void Tree(TQdoConnect& connect, const std::string& reference, bool reverse) {
    const TMRef ref = ParseMRef(reference);
    TMDatabase db(connect);
    for (const TMNode& node : db.Subtree(ref, Walking(reverse)))
        PrintLine(Typed(node.Ref) + "=" + TypedValue(node.Value));
}

} // namespace qdo::tool
