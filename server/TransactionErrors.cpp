#include "server/TransactionErrors.h"

#include "server/LogText.h"

#include <string_view>

namespace qdo::server {

namespace {

constexpr std::string_view tpquit = "%GTM-E-TPQUIT";

// The place of an M error: the piece of its $ZSTATUS between the code and the message
// ("150376082,sub+2^app,%GTM-E-..." gives "sub+2^app"); "" when it has none.
std::string_view Place(std::string_view status, size_t message) {
    const std::string_view before = status.substr(0, message);
    const size_t first = before.find(',');
    if (first == std::string_view::npos || first + 1 >= before.size() || before.back() != ',')
        return {};
    return before.substr(first + 1, before.size() - first - 2);
}

// The routine through which every request's code runs: a place in it is the end of the
// request's own line or expression (XECUTE and indirection report the line that runs them).
constexpr std::string_view serverRoutine = "^qdosrv";

bool InServerRoutine(std::string_view place) {
    return place.size() >= serverRoutine.size() &&
           place.substr(place.size() - serverRoutine.size()) == serverRoutine;
}

} // namespace

bool NameTransactionLeftOpen(TMError& error) {
    if (MessageMnemonic(error.Status) != tpquit)
        return false;
    const std::string_view place = Place(error.Status, error.Status.find(tpquit));
    error.ECode = ",UQDOTPOPEN,";
    if (place.empty() || InServerRoutine(place))
        error.Status = "%QDO-E-TPOPEN, a transaction was left open at the end of a request; it was "
                       "rolled back";
    else
        error.Status = "%QDO-E-TPOPEN, a transaction was left open when the code that started it "
                       "quit (at " +
                       std::string(place) + "); it was rolled back";
    return true;
}

TMError EntryLeftEarly() {
    return {",UQDOUNWOUND,",
            "%QDO-E-UNWOUND, the request's code left the server's entry before it ended (a ZGOTO, "
            "or a QUIT in an error trap of its own): the request has no result, and a transaction "
            "it left open was rolled back"};
}

} // namespace qdo::server
