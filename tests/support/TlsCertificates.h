// Throw-away certificates for tests of TLS: a certificate authority made on the spot, and
// server and client certificates that it signs, with the names and validity a test chooses,
// written as PEM files into a directory the test owns. Made with OpenSSL's C API (no openssl
// command), with P-256 keys, so that a whole set takes milliseconds.
//
//   qdo::test::TTestAuthority ca;                         // "qdo test CA"
//   ca.WriteTo(dir, "ca");                                // dir/ca.crt, dir/ca.key
//   auto server = ca.Issue(dir, "server", {});            // localhost and 127.0.0.1
//   auto expired = ca.Issue(dir, "old", {.NotBeforeDays = -30, .ValidDays = 10});
//
// Failures throw std::runtime_error naming the step that failed.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qdo::test {

// The files of one certificate and its private key (unencrypted PKCS#8 PEM).
struct TPemFiles {
    std::string Certificate;
    std::string Key;
};

// What a certificate that the authority issues says about its holder.
struct TLeafOptions {
    std::string CommonName = "localhost";
    // subjectAltName entries: DNS names and IP addresses (IPv4 or IPv6 text).
    std::vector<std::string> DnsNames = {"localhost"};
    std::vector<std::string> IpAddresses = {"127.0.0.1"};
    // Validity, in days from now: notBefore = now + NotBeforeDays, notAfter = notBefore +
    // ValidDays. {.NotBeforeDays = -30, .ValidDays = 10} has expired ten days ago.
    int NotBeforeDays = -1;
    int ValidDays = 30;
    // A client certificate (extended key usage clientAuth) instead of a server one
    // (serverAuth).
    bool Client = false;
};

class TTestAuthority {
public:
    // A new authority: a key and a self-signed CA certificate with `name` as its common name,
    // valid from yesterday for a year.
    explicit TTestAuthority(const std::string& name = "qdo test CA");
    ~TTestAuthority();
    TTestAuthority(TTestAuthority&&) noexcept;
    TTestAuthority& operator=(TTestAuthority&&) noexcept;

    // Writes DIR/BASE.crt and DIR/BASE.key; returns their paths.
    TPemFiles WriteTo(const std::string& directory, const std::string& baseName) const;
    // Writes the CA certificate into `directory` under its subject-hash name (HASH.0), as
    // OpenSSL looks certificates up in a directory of trusted authorities; returns the path.
    std::string WriteHashed(const std::string& directory) const;
    // Issues a certificate signed by this authority for a new key; writes DIR/BASE.crt and
    // DIR/BASE.key and returns their paths.
    TPemFiles Issue(const std::string& directory, const std::string& baseName,
                    const TLeafOptions& options) const;
    // The CA certificate as PEM text.
    std::string CertificatePem() const;

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

// A whole set for the usual cases, written into `directory`: two authorities (the trusted one
// and another nobody trusts), a server certificate for localhost and 127.0.0.1, an expired one,
// one for another name only, one signed by the other authority, and a client certificate.
struct TTlsTestSet {
    TPemFiles Authority;      // ca.crt / ca.key
    TPemFiles OtherAuthority; // other-ca.crt / other-ca.key
    TPemFiles Server;         // localhost, 127.0.0.1, ::1
    TPemFiles Expired;        // the same names, expired
    TPemFiles WrongName;      // only "elsewhere.invalid"
    TPemFiles Untrusted;      // the server's names, signed by the other authority
    TPemFiles Client;         // "qdo test client", clientAuth
};
TTlsTestSet WriteTlsTestSet(const std::string& directory);

} // namespace qdo::test
