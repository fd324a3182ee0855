#include "connect/DataLines.h"

#include "encodings/Mutils.h"

namespace qdo::lines {

namespace {

std::string ArgumentList(const std::vector<TMSubscript>& arguments) {
    if (arguments.empty())
        return {}; // a label without a formal list takes no parentheses
    std::string out = "(";
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            out += ',';
        out += arguments[i].Text();
    }
    return out + ')';
}

std::string Limit(const TMWalkOptions& limits) {
    // At least one record per batch, so that every batch makes progress.
    const int32_t nodes = limits.BatchNodes > 0 ? limits.BatchNodes : 1;
    const int32_t bytes = limits.BatchBytes > 0 ? limits.BatchBytes : 1;
    return "%qdoN'<" + std::to_string(nodes) + "!(%qdoB'<" + std::to_string(bytes) + ")";
}

// GT.M's $QUERY goes forward only. A step backward in $QUERY order from the node %qdoQ, which
// has more than %qdoL subscripts, is written with $ORDER: the node before it is the last node
// below its previous sibling (found by descending through the last subscript of each level,
// %qdoXD), or else its nearest ancestor with a value. %qdoXP leaves the node in %qdoQ, or ""
// when no node with more than %qdoL subscripts comes before. The texts are constant code, run
// with XECUTE, so that each loop runs to the end of its own line.
std::string BackwardCode() {
    return ",%qdoXD,%qdoXB,%qdoXP s %qdoXD=\"f  s %qdoK=$O(@%qdoQ@(\"\"\"\"),-1) q:%qdoK=\"\"\"\"  "
           "s %qdoQ=$NA(@%qdoQ@(%qdoK))\",%qdoXB=\"f  s %qdoK=$O(@%qdoQ,-1),"
           "%qdoP=$NA(@%qdoQ,$QL(%qdoQ)-1) q:%qdoK'=\"\"\"\"  s %qdoQ=%qdoP q:$QL(%qdoQ)'>%qdoL  "
           "q:$D(@%qdoQ)#2\",%qdoXP=\"x %qdoXB s:%qdoK'=\"\"\"\" %qdoQ=$NA(@%qdoP@(%qdoK)) "
           "x:%qdoK'=\"\"\"\" %qdoXD s:%qdoK=\"\"\"\"&($QL(%qdoQ)'>%qdoL) %qdoQ=\"\"\"\"\"";
}

} // namespace

const std::string& Checked(const std::string& code, std::string_view what) {
    if (code.size() > MaxLineLength)
        throw EMRefError(std::string(what) + ": the M code is " + std::to_string(code.size()) +
                         " bytes long, more than the " + std::to_string(MaxLineLength) +
                         " bytes GT.M compiles at once (are the subscripts very long?).");
    return code;
}

void CheckNotReserved(const TMRef& ref) {
    if (!ref.IsGlobal() && ref.Name().starts_with("%qdo"))
        throw EMRefError("The local name " + ref.Name() +
                         " is reserved: names beginning with %qdo belong to the library's "
                         "generated lines.");
}

void CheckDirection(int direction) {
    if (direction != 1 && direction != -1)
        throw EMRefError("A direction is 1 (forward) or -1 (backward), not " +
                         std::to_string(direction) + ".");
}

std::string GetOrDefault(const TMRef& ref, std::string_view fallback) {
    return Checked("$G(" + ref.Text() + "," + MText(fallback) + ")", "Get");
}

std::string Order(const TMRef& ref, int direction) {
    CheckDirection(direction);
    if (ref.Subscripts().empty())
        throw EMRefError("Order needs a reference with a subscript: " + ref.Name() + " has none.");
    return Checked("$O(" + ref.Text() + "," + std::to_string(direction) + ")", "Order");
}

std::string Data(const TMRef& ref) {
    return Checked("$D(" + ref.Text() + ")", "Data");
}

std::string Increment(const TMRef& ref, const TMSubscript& by) {
    if (!by.IsNumber())
        throw EMRefError("Increment takes a number, not the string " + MText(by.Value()) + ".");
    return Checked("$I(" + ref.Text() + "," + by.Text() + ")", "Increment");
}

std::string Merge(const TMRef& to, const TMRef& from) {
    return Checked("m " + to.Text() + "=" + from.Text(), "Merge");
}

std::string Lock(const TMRef& ref, double timeoutSeconds) {
    if (!(timeoutSeconds >= 0))
        throw EMRefError("A lock's time-out is 0 seconds or more.");
    return Checked("l +" + ref.Text() + ":" + MNumberText(timeoutSeconds) + " w $t", "Lock");
}

std::string Unlock(const TMRef& ref) {
    return Checked("l -" + ref.Text(), "Unlock");
}

std::string Function(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments) {
    return Checked("$$" + entry.Text() + ArgumentList(arguments), "Function");
}

std::string Procedure(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments) {
    return Checked("d " + entry.Text() + ArgumentList(arguments), "Procedure");
}

std::string Query(const TMRef& ref, int direction) {
    CheckDirection(direction);
    CheckNotReserved(ref);
    std::string line = "n %qdoQ,%qdoI,%qdoS,%qdoL,%qdoK,%qdoP" + BackwardCode() + " s %qdoQ=$NA(" +
                       ref.Text() + "),%qdoL=0 ";
    line += direction > 0 ? "s %qdoQ=$Q(@%qdoQ)" : "x %qdoXP";
    line += " w:%qdoQ=\"\" \"E\" q:%qdoQ=\"\"  w \"N\",$QL(%qdoQ),\":\" "
            "f %qdoI=1:1:$QL(%qdoQ) s %qdoS=$QS(%qdoQ,%qdoI) w $L(%qdoS),\":\",%qdoS";
    return Checked(line, "Query");
}

// The loop takes the next key; at the end it writes E, when the batch is full M (the key then
// comes first in the next batch, which starts after the last key written); else the record.
std::string ChildBatch(const TMRef& parent, std::string_view after, const TMWalkOptions& limits) {
    CheckDirection(limits.Direction);
    CheckNotReserved(parent);
    std::string line =
        "n %qdoP,%qdoK,%qdoN,%qdoB,%qdoD,%qdoV s %qdoP=$NA(" + parent.Text() +
        "),%qdoK=" + MText(after) + ",(%qdoN,%qdoB)=0 f  s %qdoK=$O(@%qdoP@(%qdoK)," +
        std::to_string(limits.Direction) + ") w:%qdoK=\"\" \"E\" q:%qdoK=\"\"  w:" + Limit(limits) +
        " \"M\" q:" + Limit(limits) +
        "  s %qdoN=%qdoN+1,%qdoB=%qdoB+$L(%qdoK),%qdoD=$D(@%qdoP@(%qdoK)) "
        "w \"N\",$L(%qdoK),\":\",%qdoK,%qdoD\\10,%qdoD#2";
    if (limits.Values)
        line += " s:%qdoD#2 %qdoV=$G(@%qdoP@(%qdoK)),%qdoB=%qdoB+$L(%qdoV) "
                "w:%qdoD#2 $L(%qdoV),\":\",%qdoV";
    return Checked(line, "Children");
}

// %qdoR is the root's name as M writes it and %qdoL its subscript count: a node is below the
// root while it has more subscripts and its first %qdoL name the root. A backward walk starts at
// the root's last node in $QUERY order (%qdoF marks that this node is still to be written).
std::string NodeBatch(const TMRef& root, bool first, const std::vector<std::string>& after,
                      const TMWalkOptions& limits) {
    CheckDirection(limits.Direction);
    CheckNotReserved(root);
    const bool backward = limits.Direction < 0;
    std::string line = "n %qdoR,%qdoL,%qdoQ,%qdoF,%qdoO,%qdoN,%qdoB,%qdoI,%qdoS,%qdoK,%qdoP,%qdoV" +
                       (backward ? BackwardCode() : std::string()) + " s %qdoR=$NA(" + root.Text() +
                       "),%qdoL=$QL(%qdoR),(%qdoF,%qdoN,%qdoB)=0,%qdoQ=%qdoR";
    if (!first) {
        std::string subscripts;
        for (const std::string& subscript : after)
            subscripts += (subscripts.empty() ? "" : ",") + MText(subscript);
        line += ",%qdoQ=$NA(@%qdoR@(" + subscripts + "))";
    } else if (backward) {
        line += " x %qdoXD s %qdoF=1 s:$QL(%qdoQ)'>%qdoL %qdoQ=\"\"";
    }
    line += backward ? " f  x:'%qdoF %qdoXP" : " f  s:'%qdoF %qdoQ=$Q(@%qdoQ)";
    line += " s %qdoF=0 w:%qdoQ=\"\" \"E\" q:%qdoQ=\"\"  "
            "s %qdoO=$QL(%qdoQ)'>%qdoL!($NA(@%qdoQ,%qdoL)'=%qdoR) w:%qdoO \"E\" q:%qdoO  w:" +
            Limit(limits) + " \"M\" q:" + Limit(limits) +
            "  s %qdoN=%qdoN+1,%qdoB=%qdoB+$L(%qdoQ) w \"N\"";
    if (limits.Values)
        line += " s %qdoV=$G(@%qdoQ),%qdoB=%qdoB+$L(%qdoV) w $L(%qdoV),\":\",%qdoV";
    line += " w $QL(%qdoQ)-%qdoL,\":\" f %qdoI=%qdoL+1:1:$QL(%qdoQ) s %qdoS=$QS(%qdoQ,%qdoI) "
            "w $L(%qdoS),\":\",%qdoS";
    return Checked(line, "Subtree");
}

} // namespace qdo::lines
