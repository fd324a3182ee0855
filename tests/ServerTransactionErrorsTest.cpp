// How a job names a transaction its client's code left open: GT.M's TPQUIT, from a trap or
// from an error no trap took, becomes ",UQDOTPOPEN,", and says where the code ended when that
// was not the end of the request's own line; every other error stays as it is.
#include "server/TransactionErrors.h"

#include <gtest/gtest.h>

#include <string>

namespace qdo::server {
namespace {

constexpr const char* atLineEnd =
    "%QDO-E-TPOPEN, a transaction was left open at the end of a request; it was rolled back";

TEST(ServerTransactionErrors, TpquitBecomesTpopenWithWhereTheCodeEnded) {
    const struct {
        std::string eCode;
        std::string status;
        std::string named; // the text it becomes
    } cases[] = {
        // the request's own line (XECUTE reports the line that runs it), trapped and not
        {",M42,Z150376082,",
         "150376082,xec+2^qdosrv,%GTM-E-TPQUIT, Cannot QUIT out of a routine with an active "
         "transaction",
         atLineEnd},
        {",UENGINE,",
         "150376082,xec+2^qdosrv,%GTM-E-TPQUIT, Cannot QUIT out of a routine with an active "
         "transaction",
         atLineEnd},
        {",M42,Z150376082,", "150376082,eval+3^qdosrv,%GTM-E-TPQUIT, Cannot QUIT", atLineEnd},
        // a routine of the client's that quit inside its transaction
        {",M42,Z150376082,", "150376082,post+4^ledger,%GTM-E-TPQUIT, Cannot QUIT",
         "%QDO-E-TPOPEN, a transaction was left open when the code that started it quit (at "
         "post+4^ledger); it was rolled back"},
        // a routine whose name only ends like the server's
        {",M42,Z150376082,", "150376082,x+1^myqdosrv,%GTM-E-TPQUIT, Cannot QUIT",
         "%QDO-E-TPOPEN, a transaction was left open when the code that started it quit (at "
         "x+1^myqdosrv); it was rolled back"},
        // no place at all
        {",M42,", "%GTM-E-TPQUIT, Cannot QUIT", atLineEnd},
        {",M42,", "150376082,%GTM-E-TPQUIT, Cannot QUIT", atLineEnd},
        // an earlier error's codes do not matter: the last one, in $ZSTATUS, does
        {",M9,Z150373210,M42,Z150376082,", "150376082,xec+2^qdosrv,%GTM-E-TPQUIT, Cannot QUIT",
         atLineEnd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        TMError error{c.eCode, c.status};
        EXPECT_TRUE(NameTransactionLeftOpen(error));
        EXPECT_EQ(error.ECode, ",UQDOTPOPEN,");
        EXPECT_EQ(error.Status, c.named);
    }
}

TEST(ServerTransactionErrors, OtherErrorsStayAsTheyAre) {
    const TMError cases[] = {
        {",M9,Z150373210,", "150373210,xec+2^qdosrv,%GTM-E-DIVZERO, Attempt to divide by zero"},
        {",Z150381866,", "150381866,xec+2^qdosrv,%GTM-E-TRESTMAX, TRESTART not allowed"},
        {",M44,Z150376058,", "150376058,xec+2^qdosrv,%GTM-E-TLVLZERO, Transaction is not in "
                             "progress"},
        // the mnemonic's text in a value of the message, not the message
        {",M7,Z150372994,", "150372994,get+2^qdosrv,%GTM-E-GVUNDEF, Global variable undefined: "
                            "^X(\"%GTM-E-TPQUIT\")"},
        {",UQDOLINETOOLONG,", "%QDO-E-LINETOOLONG, GT.M runs at most 8192 bytes"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Status);
        TMError error = c;
        EXPECT_FALSE(NameTransactionLeftOpen(error));
        EXPECT_EQ(error.ECode, c.ECode);
        EXPECT_EQ(error.Status, c.Status);
    }
}

TEST(ServerTransactionErrors, EntryLeftEarlyIsAnErrorOfItsOwn) {
    const TMError error = EntryLeftEarly();
    EXPECT_EQ(error.ECode, ",UQDOUNWOUND,");
    EXPECT_EQ(error.Status.rfind("%QDO-E-UNWOUND, ", 0), 0u) << error.Status;
}

} // namespace
} // namespace qdo::server
