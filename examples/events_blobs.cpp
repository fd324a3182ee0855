// Server events and BLOBs through the C++ API: one connection hears an event that another
// sends, and a BLOB goes to the server and comes back.
//
//   events_blobs [host [port]]      (default: 127.0.0.1 7001)
#include "classes/NotificationLoop.h"
#include "classes/Streams.h"
#include "connect/Qdoconnect.h"

#include <chrono>
#include <iostream>
#include <string>

static void Open(qdo::TQdoConnect& connect, const std::string& host, int port) {
    connect.SetServerAddress(host);
    connect.SetServerPort(port);
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
}

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::stoi(argv[2]) : 7001;
    try {
        qdo::TQdoConnect listener;
        qdo::TQdoConnect sender;
        Open(listener, host, port);
        Open(sender, host, port);

        // Events reach OnServerEvent while this thread pumps its notification loop.
        int heard = 0;
        listener.OnServerEvent = [&](qdo::TObject*, const std::string& name,
                                     const std::string& params) {
            std::cout << "event " << name << ": " << params << "\n";
            ++heard;
        };
        listener.SubscribeEvent("Price", true);
        sender.Execute("do SendMsg(\"Price\",\"ACME 12.50\")");
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (heard == 0 && std::chrono::steady_clock::now() < end)
            qdo::ProcessMessages(100);

        // A BLOB: any bytes, any size, moved in blocks under the server's lock.
        const std::string bytes("a binary\0object\r\n", 17);
        qdo::TMemoryStream in;
        qdo::TMemoryStream out;
        in.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
        const int32_t id = sender.CreateBLOB("example");
        sender.WriteBLOB(id, &in);
        listener.ReadBLOB(id, &out);
        const bool same = std::string(out.Memory(), static_cast<size_t>(out.Size())) == bytes;
        std::cout << "BLOB " << id << ": " << out.Size() << " bytes back"
                  << (same ? ", the same" : ", not the same") << "\n";
        sender.DeleteBLOB(id);
        return heard == 1 && same ? 0 : 1;
    } catch (const qdo::Exception& e) {
        std::cerr << "failed: " << e.Message() << "\n";
        return 1;
    }
}
