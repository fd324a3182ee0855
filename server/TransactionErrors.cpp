#include "server/TransactionErrors.h"

#include "server/LogText.h"

#include <string_view>

namespace qdo::server {

namespace {

// The place of an M error: the second comma piece of its $ZSTATUS ("150376082,sub+2^app,...").
std::string_view Place(std::string_view status) {
    const size_t first = status.find(',');
    if (first == std::string_view::npos)
        return {};
    const size_t second = status.find(',', first + 1);
    return status.substr(first + 1, second == std::string_view::npos ? std::string_view::npos
                                                                     : second - first - 1);
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
    if (MessageMnemonic(error.Status) != "%GTM-E-TPQUIT")
        return false;
    const std::string_view place = Place(error.Status);
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
