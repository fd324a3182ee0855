#include "tools/qdo/OperationLines.h"

#include "encodings/MNumber.h"
#include "tools/qdo/LineSplit.h"
#include "tools/qdo/RefParser.h"

namespace qdo::tool {

namespace {

struct TOperationWords {
    const char* Name;
    TOperationLine::TKind Kind;
    size_t Least, Most; // words after the name
};

constexpr TOperationWords operationWords[] = {
    {"set", TOperationLine::TKind::Set, 2, 2},
    {"kill", TOperationLine::TKind::Kill, 1, 1},
    {"get", TOperationLine::TKind::Get, 1, 1},
    {"incr", TOperationLine::TKind::Increment, 1, 2},
};

const char* const operationSyntax = "set REF VALUE, kill REF, get REF or incr REF [BY]";

std::vector<std::string> TypedWords(const TMRef& ref) {
    std::vector<std::string> subscripts;
    for (const TMSubscript& subscript : ref.Subscripts())
        subscripts.push_back(subscript.Value());
    return subscripts;
}

TOperationLine ParseOperation(std::string_view line, size_t number) {
    const std::vector<std::string> words = SplitMWords(line);
    for (const TOperationWords& form : operationWords) {
        if (words[0] != form.Name)
            continue;
        const size_t given = words.size() - 1;
        if (given < form.Least || given > form.Most)
            throw std::invalid_argument(
                words[0] + " takes " +
                (form.Least == form.Most
                     ? std::to_string(form.Least)
                     : std::to_string(form.Least) + " or " + std::to_string(form.Most)) +
                " words after it, not " + std::to_string(given) + " (" + operationSyntax + ")");
        TOperationLine operation{form.Kind, number, ParseMRef(words[1])};
        if (given == 2) {
            operation.Value = ParseMValue(words[2]);
            // incr takes the text of a number as the incr command does: "5" is 5.
            if (form.Kind == TOperationLine::TKind::Increment && !operation.Value.IsNumber()) {
                if (!IsMCanonicalNumber(operation.Value.Value()))
                    throw std::invalid_argument("incr adds a canonical number, not " + words[2]);
                operation.Value = TMSubscript::Number(operation.Value.Value());
            }
        }
        return operation;
    }
    throw std::invalid_argument("there is no operation " + words[0] + " (" + operationSyntax + ")");
}

} // namespace

std::vector<TOperationLine> ParseOperationLines(std::string_view text) {
    std::vector<TOperationLine> operations;
    size_t number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        try {
            operations.push_back(ParseOperation(line, number));
        } catch (const std::invalid_argument& e) {
            throw EOperationLineError("line " + std::to_string(number) + ": " + e.what());
        }
    }
    return operations;
}

std::string OperationText(const TOperationLine& operation) {
    const std::string ref = TypedRef(operation.Ref.Name(), TypedWords(operation.Ref));
    switch (operation.Kind) {
    case TOperationLine::TKind::Set:
        return "set " + ref + " " + TypedValue(operation.Value.Value());
    case TOperationLine::TKind::Kill:
        return "kill " + ref;
    case TOperationLine::TKind::Get:
        return "get " + ref;
    case TOperationLine::TKind::Increment:
        return "incr " + ref + " " + operation.Value.Value();
    }
    return ref; // not reached
}

} // namespace qdo::tool
