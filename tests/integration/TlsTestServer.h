// A qdo-server that speaks TLS, for a suite of tests: a throw-away set of certificates (see
// support/TlsCertificates.h) in a folder of its own, and the server run with the set's server
// certificate and the suite's options. Everything goes with it.
#pragma once

#include "ServerProcess.h"
#include "TemporaryFolder.h"
#include "support/TlsCertificates.h"

#include <string>
#include <utility>
#include <vector>

namespace qdo::test {

struct TlsTestServer {
    explicit TlsTestServer(const std::vector<std::string>& options)
        : Set(WriteTlsTestSet(Folder.Path())), Server(WithCertificate(Set, options)) {}

    TemporaryFolder Folder;
    TTlsTestSet Set;
    ServerProcess Server;

private:
    static std::vector<std::string> WithCertificate(const TTlsTestSet& set,
                                                    std::vector<std::string> options) {
        options.insert(options.begin(),
                       {"--tls-cert", set.Server.Certificate, "--tls-key", set.Server.Key});
        return options;
    }
};

} // namespace qdo::test
