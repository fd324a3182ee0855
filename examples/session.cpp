// A short session with an M database server through the C++ API, saying what it does:
// connect, set, read back, execute with output, group read.
//
//   session [host [port]]      (default: 127.0.0.1 7001)
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
        std::cout << "connected to " << host << ":" << port << ", namespace USER\n";

        for (int i = 1; i <= 3; ++i) {
            const std::string name = "^Demo(" + std::to_string(i) + ")";
            connect.Write(name, "value " + std::to_string(i * 10));
            std::cout << "set " << name << " = " << connect.Read(name) << " (read back)\n";
        }

        std::cout << "execute with output:\n";
        connect.OnTerminalOutput = [](qdo::TObject*, const std::string& text) {
            std::cout << "  | " << text;
        };
        connect.ExecuteTerminal("write \"$ZVERSION = \",$zversion,! write \"nodes of ^Demo: "
                                "\",$order(^Demo(\"\"),-1),!");

        std::cout << "group read of ^Demo:\n";
        qdo::TMList chunk;
        chunk.SetAllList(connect.GroupRead("^Demo"));
        for (int32_t i = 1; i < chunk.GetLength(); i += 2)
            std::cout << "  " << chunk.GetList(i) << " = " << chunk.GetList(i + 1) << "\n";

        connect.Kill("^Demo");
        connect.SetActive(false);
        std::cout << "done\n";
        return 0;
    } catch (const qdo::Exception& e) {
        std::cerr << "failed: " << e.Message() << "\n";
        return 1;
    }
}
