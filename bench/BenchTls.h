// TLS for the benchmark programs: with QDO_BENCH_TLS_CA naming a CA file, a connection speaks
// TLS and trusts that authority (the server's certificate must name the host it is given).
#pragma once

#include "connect/Qdoconnect.h"

#include <cstdlib>

inline void UseBenchTls(qdo::TQdoConnect& connect) {
    const char* authority = std::getenv("QDO_BENCH_TLS_CA");
    if (authority == nullptr || *authority == '\0')
        return;
    qdo::TTlsSettings tls;
    tls.Enabled = true;
    tls.Authorities = authority;
    connect.SetTls(tls);
}
