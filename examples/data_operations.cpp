// Typed data operations through the C++ API: user data goes into references as subscripts and
// values, never into M code, so a name like the one below is stored as it is.
//
//   data_operations [host [port]]      (default: 127.0.0.1 7001)
#include "connect/Database.h"
#include "connect/Qdoconnect.h"

#include <iostream>
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

        const std::string hostile = "Robert\") k ^Person s x=(\"";
        db.Kill(qdo::TMRef("^Person"));
        for (const std::string& name : {std::string("Ada"), hostile, std::string("Grace")}) {
            const std::string id = db.Increment(qdo::TMRef("^Person"));
            db.Set(qdo::TMRef("^Person", {std::stoi(id), "name"}), name);
            db.Set(qdo::TMRef("^PersonByName", {name}), id);
        }
        std::cout << "stored " << db.Get(qdo::TMRef("^Person")) << " people\n";

        // The index in name order, fetched in batches of up to 1000 nodes per round trip.
        for (const qdo::TMChild& entry : db.Children(qdo::TMRef("^PersonByName")))
            std::cout << entry.Value << ": " << entry.Subscript << "\n";

        // A lock with a time-out, and a function of a routine with its arguments as data.
        if (db.Lock(qdo::TMRef("^Person", {1}), 2)) {
            db.Set(qdo::TMRef("^Person", {1, "hex"}),
                   db.Function(qdo::TMEntryRef("FUNC^%DH"), {255, 4}));
            db.Unlock(qdo::TMRef("^Person", {1}));
        }
        for (const qdo::TMNode& node : db.Subtree(qdo::TMRef("^Person", {1})))
            std::cout << node.Ref.Text() << " = " << node.Value << "\n";
        return db.Data(qdo::TMRef("^Person", {2, "name"})) == 1 ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "failed: " << e.what() << "\n";
        return 1;
    }
}
