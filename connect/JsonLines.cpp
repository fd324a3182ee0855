#include "connect/JsonLines.h"

#include "connect/DataLines.h"
#include "encodings/Mutils.h"

namespace qdo::lines {

namespace {

// Leaves in %qdoT the shape of the node named by %qdoX: "L" without children, "O" with a value
// and children, "A" without a value and with children that are exactly the integers 1..n, else
// "O". Children collate numbers first, so when the first is 1 and the last an integer n, they
// are all numbers from 1 to n, and they are 1..n exactly when the m-th child is m for every m:
// one pass over the children, ended at the first that is not.
std::string ShapeCode() {
    return "s %qdoT=\"L\" q:$D(@%qdoX)<10  s %qdoT=\"O\" q:$D(@%qdoX)#2  "
           "q:$O(@%qdoX@(\"\"))'=1  s %qdoE=$O(@%qdoX@(\"\"),-1) q:%qdoE'?1.N  "
           "s %qdoT=\"A\",%qdoJ=\"\" f %qdoM=1:1 s %qdoJ=$O(@%qdoX@(%qdoJ)) q:%qdoJ=\"\"  "
           "i %qdoJ'=%qdoM s %qdoT=\"O\" q";
}

// Leaves in %qdoC how many subscripts the node %qdoQ shares with the node %qdoP (%qdoL, the
// root's own, at least). %qdoQ comes after %qdoP in $QUERY order, so it is never a prefix of it.
std::string CommonCode() {
    return "s %qdoC=%qdoL f %qdoI=%qdoL+1:1:$QL(%qdoP) q:%qdoI>$QL(%qdoQ)  "
           "q:$QS(%qdoP,%qdoI)'=$QS(%qdoQ,%qdoI)  s %qdoC=%qdoI";
}

std::string Codes() {
    return "s %qdoXS=" + MText(ShapeCode()) + ",%qdoXC=" + MText(CommonCode());
}

} // namespace

std::string JsonRoot(const TMRef& root) {
    CheckNotReserved(root);
    return Checked("n %qdoX,%qdoT,%qdoE,%qdoJ,%qdoM,%qdoV,%qdoXS,%qdoXC " + Codes() +
                       " s %qdoX=$NA(" + root.Text() +
                       ") x %qdoXS s:'$D(@%qdoX) %qdoT=\"X\" w %qdoT,$D(@%qdoX)#2 "
                       "i $D(@%qdoX)#2 s %qdoV=@%qdoX w $L(%qdoV),\":\",%qdoV",
                   "ExportJson");
}

// Like the node batch of connect/DataLines.cpp, forward only; for each node it writes the
// subscripts past those it shares with the node before, each after the shape of the node it
// names. Every node entered is shaped once, when the walk first reaches it.
std::string JsonNodeBatch(const TMRef& root, const std::vector<std::string>& after,
                          int32_t batchNodes, int32_t batchBytes) {
    CheckNotReserved(root);
    const std::string nodes = std::to_string(batchNodes > 0 ? batchNodes : 1);
    const std::string bytes = std::to_string(batchBytes > 0 ? batchBytes : 1);
    const std::string full = "%qdoN'<" + nodes + "!(%qdoB'<" + bytes + ")";
    std::string line = "n %qdoR,%qdoL,%qdoQ,%qdoP,%qdoO,%qdoN,%qdoB,%qdoI,%qdoS,%qdoV,%qdoC,%qdoX,"
                       "%qdoT,%qdoE,%qdoJ,%qdoM,%qdoXS,%qdoXC " +
                       Codes() + " s %qdoR=$NA(" + root.Text() +
                       "),%qdoL=$QL(%qdoR),(%qdoN,%qdoB)=0,%qdoQ=%qdoR";
    if (!after.empty()) {
        std::string subscripts;
        for (const std::string& subscript : after)
            subscripts += (subscripts.empty() ? "" : ",") + MText(subscript);
        line += ",%qdoQ=$NA(@%qdoR@(" + subscripts + "))";
    }
    line += " f  s %qdoP=%qdoQ,%qdoQ=$Q(@%qdoQ) w:%qdoQ=\"\" \"E\" q:%qdoQ=\"\"  "
            "s %qdoO=$QL(%qdoQ)'>%qdoL!($NA(@%qdoQ,%qdoL)'=%qdoR) w:%qdoO \"E\" q:%qdoO  w:" +
            full + " \"M\" q:" + full +
            "  s %qdoV=$G(@%qdoQ),%qdoN=%qdoN+1,%qdoB=%qdoB+$L(%qdoQ)+$L(%qdoV) x %qdoXC "
            "w \"N\",$L(%qdoV),\":\",%qdoV,%qdoC-%qdoL,\":\",$QL(%qdoQ)-%qdoC,\":\" "
            "f %qdoI=%qdoC+1:1:$QL(%qdoQ) s %qdoX=$NA(@%qdoQ,%qdoI),%qdoS=$QS(%qdoQ,%qdoI) "
            "x %qdoXS w %qdoT,$L(%qdoS),\":\",%qdoS";
    return Checked(line, "ExportJson");
}

} // namespace qdo::lines
