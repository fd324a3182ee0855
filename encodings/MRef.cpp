#include "encodings/MRef.h"

#include "encodings/Mutils.h"

namespace qdo {

TMSubscript TMSubscript::Number(std::string_view canonical) {
    if (!IsMCanonicalNumber(canonical))
        throw EMRefError(MText(canonical.substr(0, 100)) +
                         " is not a canonical M number (no leading or trailing zeros, no "
                         "exponent, no '+', at most 18 digits).");
    TMSubscript number(canonical);
    number.isNumber_ = true;
    return number;
}

std::string TMSubscript::Text() const {
    return isNumber_ ? value_ : MText(value_);
}

TMRef::TMRef(std::string_view name, std::vector<TMSubscript> subscripts)
    : name_(name), subscripts_(std::move(subscripts)) {
    // The message shows the name as given, its '^' included.
    if (!IsMName(name.starts_with('^') ? name.substr(1) : name))
        CheckMName(name, "variable name");
}

TMRef::TMRef(std::string_view name, std::initializer_list<TMSubscript> subscripts)
    : TMRef(name, std::vector<TMSubscript>(subscripts)) {}

TMRef TMRef::Child(TMSubscript subscript) const {
    TMRef child = *this;
    child.subscripts_.push_back(std::move(subscript));
    return child;
}

TMRef TMRef::Parent() const {
    TMRef parent = *this;
    if (!parent.subscripts_.empty())
        parent.subscripts_.pop_back();
    return parent;
}

std::string TMRef::Text() const {
    std::string out = name_;
    if (subscripts_.empty())
        return out;
    char separator = '(';
    for (const TMSubscript& subscript : subscripts_) {
        out += separator;
        out += subscript.Text();
        separator = ',';
    }
    out += ')';
    return out;
}

TMEntryRef::TMEntryRef(std::string_view text) {
    const size_t caret = text.find('^');
    if (caret == std::string_view::npos)
        throw EMRefError("Invalid entry reference " + MText(text.substr(0, 100)) +
                         ": write label^routine or ^routine.");
    *this = TMEntryRef(text.substr(0, caret), text.substr(caret + 1));
}

TMEntryRef::TMEntryRef(std::string_view label, std::string_view routine)
    : label_(label), routine_(routine) {
    if (!label.empty())
        CheckMName(label, "label");
    CheckMName(routine, "routine name");
}

std::string TMEntryRef::Text() const {
    return label_ + "^" + routine_;
}

} // namespace qdo
