// JSON import of many small values into one subtree through ImportJson, one connection. The
// document is built in memory first (an array of objects {"id": i, "name": "item i"}, two values
// each), so that the time covers the parse and the sets only.
//
//   qdo_jsonimport HOST PORT COUNT
//       prints: import VALUES_PER_SECOND
#include "connect/Database.h"
#include "connect/Json.h"
#include "connect/Qdoconnect.h"

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_jsonimport HOST PORT COUNT\n");
        return 2;
    }
    const long count = std::stol(argv[3]);
    std::string document = "[";
    for (long i = 1; i <= count / 2; ++i)
        document += (i > 1 ? ",{\"id\":" : "{\"id\":") + std::to_string(i) + ",\"name\":\"item " +
                    std::to_string(i) + "\"}";
    document += "]";

    qdo::TQdoConnect connect;
    connect.SetServerAddress(argv[1]);
    connect.SetServerPort(std::stoi(argv[2]));
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    connect.Kill("^BJ");
    qdo::TMDatabase db(connect);
    db.ServerHasBatches(); // the probe is not part of the figure

    using Clock = std::chrono::steady_clock;
    std::istringstream in(document);
    const auto start = Clock::now();
    const uint64_t set = qdo::ImportJson(db, qdo::TMRef("^BJ"), in);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (set != static_cast<uint64_t>(count / 2 * 2) ||
        connect.Read("^BJ(" + std::to_string(count / 2) + ",\"name\")") !=
            "item " + std::to_string(count / 2))
        return 1;
    std::printf("import %.0f\n", static_cast<double>(set) / seconds);
    connect.Kill("^BJ");
    return 0;
}
