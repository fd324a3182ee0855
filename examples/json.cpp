// JSON into and out of an M subtree through the C++ API, streamed both ways: the document is
// set node by node as it is parsed, and the subtree is written out batch by batch.
//
//   json [host [port]]      (default: 127.0.0.1 7001)
#include "connect/Json.h"
#include "connect/Database.h"
#include "connect/Qdoconnect.h"

#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::stoi(argv[2]) : 7001;
    try {
        qdo::TQdoConnect connect;
        connect.SetServerAddress(host);
        connect.SetServerPort(port);
        connect.SetActive(true);
        connect.Execute("zn \"USER\"");
        qdo::TMDatabase db(connect);

        // Any std::istream: a file of any size is read as it is parsed.
        std::istringstream in(R"({"name": "Corner shop", "open": true,
            "items": [{"sku": "A-1", "price": 2.50}, {"sku": "B-2", "price": 10}],
            "tags": {"": "main", "since": 1999}})");
        qdo::TMJsonImportOptions replace;
        replace.KillRootFirst = true; // the subtree becomes exactly the document
        const uint64_t nodes = qdo::ImportJson(db, qdo::TMRef("^Shop"), in, replace);
        std::cout << "set " << nodes << " nodes; the second price is "
                  << db.Get(qdo::TMRef("^Shop", {"items", 2, "price"})) << "\n";

        // Keys in M's order, 1..n as an array, a node's own value under "".
        qdo::ExportJson(db, qdo::TMRef("^Shop"), std::cout);
        std::cout << "\n";

        // Invalid JSON is refused with its byte offset; what came before the error is set.
        std::istringstream broken(R"({"name": "Other shop", "open": yes})");
        try {
            qdo::ImportJson(db, qdo::TMRef("^Shop"), broken);
        } catch (const qdo::EMJsonError& e) {
            std::cout << "refused at byte " << e.Offset() << "; the name is now "
                      << db.Get(qdo::TMRef("^Shop", {"name"})) << "\n";
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "failed: " << e.what() << "\n";
        return 1;
    }
}
