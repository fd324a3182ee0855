// The test certificates helper: what it writes is what OpenSSL's verification makes of it.
#include "support/TlsCertificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace qdo::test {
namespace {

X509* ReadCertificate(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return nullptr;
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    return certificate;
}

// The verification result of `leaf` against the authority at `caPath`, checking `host` (or an
// IP address) when given.
int Verify(const std::string& caPath, const std::string& leafPath, const std::string& host = "",
           const std::string& ip = "") {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_load_file(store, caPath.c_str());
    X509* leaf = ReadCertificate(leafPath);
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, leaf, nullptr);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    if (!host.empty())
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    if (!ip.empty())
        X509_VERIFY_PARAM_set1_ip_asc(param, ip.c_str());
    const int result =
        X509_verify_cert(context) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
    X509_STORE_CTX_free(context);
    X509_free(leaf);
    X509_STORE_free(store);
    return result;
}

class TlsCertificates : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qdo-tls-certs-" + std::to_string(::getpid()));
        set_ = WriteTlsTestSet(dir_.string());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    TTlsTestSet set_;
};

TEST_F(TlsCertificates, VerificationSeesWhatEachCertificateWasMadeFor) {
    const struct {
        const char* what;
        std::string leaf;
        std::string host;
        std::string ip;
        int expected;
    } cases[] = {
        {"server by name", set_.Server.Certificate, "localhost", "", X509_V_OK},
        {"server by IPv4", set_.Server.Certificate, "", "127.0.0.1", X509_V_OK},
        {"server by IPv6", set_.Server.Certificate, "", "::1", X509_V_OK},
        {"server, other name", set_.Server.Certificate, "example.org", "",
         X509_V_ERR_HOSTNAME_MISMATCH},
        {"server, other IP", set_.Server.Certificate, "", "10.0.0.1",
         X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"expired", set_.Expired.Certificate, "localhost", "", X509_V_ERR_CERT_HAS_EXPIRED},
        {"wrong name", set_.WrongName.Certificate, "localhost", "", X509_V_ERR_HOSTNAME_MISMATCH},
        {"wrong name, its own", set_.WrongName.Certificate, "elsewhere.invalid", "", X509_V_OK},
        {"other authority", set_.Untrusted.Certificate, "localhost", "",
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"client", set_.Client.Certificate, "", "", X509_V_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Verify(set_.Authority.Certificate, c.leaf, c.host, c.ip), c.expected);
    }
    EXPECT_EQ(Verify(set_.OtherAuthority.Certificate, set_.Untrusted.Certificate, "localhost"),
              X509_V_OK);
}

TEST_F(TlsCertificates, KeysMatchTheirCertificatesAndStayPrivate) {
    for (const TPemFiles& files : {set_.Authority, set_.Server, set_.Client, set_.Expired}) {
        SCOPED_TRACE(files.Certificate);
        X509* certificate = ReadCertificate(files.Certificate);
        ASSERT_NE(certificate, nullptr);
        FILE* file = std::fopen(files.Key.c_str(), "r");
        ASSERT_NE(file, nullptr);
        EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(X509_check_private_key(certificate, key), 1);
        EVP_PKEY_free(key);
        X509_free(certificate);
        const auto perms = std::filesystem::status(files.Key).permissions();
        EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
                  std::filesystem::perms::none);
    }
}

TEST_F(TlsCertificates, AHashedCopyIsFoundInADirectoryOfAuthorities) {
    const std::filesystem::path trusted = dir_ / "trusted";
    std::filesystem::create_directory(trusted);
    TTestAuthority authority("directory CA");
    authority.WriteHashed(trusted.string());
    const TPemFiles leaf = authority.Issue(dir_.string(), "leaf", {});
    X509_STORE* store = X509_STORE_new();
    ASSERT_EQ(X509_STORE_load_path(store, trusted.c_str()), 1);
    X509* certificate = ReadCertificate(leaf.Certificate);
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, certificate, nullptr);
    EXPECT_EQ(X509_verify_cert(context), 1);
    X509_STORE_CTX_free(context);
    X509_free(certificate);
    X509_STORE_free(store);
}

} // namespace
} // namespace qdo::test
