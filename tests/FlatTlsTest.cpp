// The flat interface's TLS setters: the null handle, null and half-given texts, settings that
// do not change under an open connection, and a TLS failure's code and text at the boundary.
#include "capi/qdo.h"
#include "support/Connection.h"
#include "support/CountedText.h"
#include "support/TlsCertificates.h"
#include "support/TlsPeer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace qdo {
namespace {

using test::LastError;
using test::Nul;
using test::OneArgument;
using test::TlsPeer;

TEST(FlatTls, TheNullHandleIsRefused) {
    EXPECT_EQ(QDOSetTls(nullptr, 1), 0);
    EXPECT_EQ(QDOSetTlsAuthorities(nullptr, "ca.pem"), 0);
    EXPECT_EQ(QDOSetTlsServerName(nullptr, "db"), 0);
    EXPECT_EQ(QDOSetTlsClientCertificate(nullptr, "c.pem", "k.pem"), 0);
    EXPECT_EQ(QDOSetTlsVerify(nullptr, 0), 0);
}

TEST(FlatTls, NullTextsAreEmptyAndACertificateNeedsItsKey) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", 1, "USER");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(QDOSetTls(handle, 1), 1);
    EXPECT_EQ(QDOSetTlsAuthorities(handle, nullptr), 1);
    EXPECT_EQ(QDOSetTlsServerName(handle, nullptr), 1);
    EXPECT_EQ(QDOSetTlsClientCertificate(handle, nullptr, nullptr), 1);
    EXPECT_EQ(QDOSetTlsVerify(handle, 1), 1);
    const struct {
        const char* certificate;
        const char* key;
    } halves[] = {{"c.pem", nullptr}, {nullptr, "k.pem"}, {"c.pem", ""}};
    for (const auto& half : halves) {
        EXPECT_EQ(QDOSetTlsClientCertificate(handle, half.certificate, half.key), 0);
        EXPECT_EQ(LastError(handle),
                  "A client certificate needs both a certificate file and a key file.");
    }
    QDODestroyConnect(handle);
}

class FlatTlsOnPeer : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() / ("qdo-flat-tls-" + std::to_string(::getpid()));
        files_ = test::WriteTlsTestSet(dir_.string());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    test::TTlsTestSet files_;
};

TEST_F(FlatTlsOnPeer, AFailedCheckGivesTheTlsCodeAndTheCheckedName) {
    test::TlsServerContext server(files_.Expired.Certificate, files_.Expired.Key);
    TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOSetTls(handle, 1), 1);
    ASSERT_EQ(QDOSetTlsAuthorities(handle, files_.Authority.Certificate.c_str()), 1);
    ASSERT_EQ(QDOSetTlsServerName(handle, "localhost"), 1);
    EXPECT_EQ(QDOConnectOpen(handle), 0);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_TLS);
    EXPECT_EQ(LastError(handle), "TLS: the certificate of server name 'localhost' failed "
                                 "verification: certificate has expired");
    QDODestroyConnect(handle);
}

TEST_F(FlatTlsOnPeer, AnOpenConnectionKeepsItsSettings) {
    test::TlsServerContext server(files_.Server.Certificate, files_.Server.Key);
    TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul),
                          TlsPeer::Expect(OneArgument('x', "zn \"\"")), TlsPeer::Send(test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOSetTls(handle, 1), 1);
    ASSERT_EQ(QDOSetTlsAuthorities(handle, files_.Authority.Certificate.c_str()), 1);
    ASSERT_EQ(QDOConnectOpen(handle), 1) << LastError(handle);
    EXPECT_EQ(QDOSetTls(handle, 0), 0);
    EXPECT_EQ(QDOSetTlsVerify(handle, 0), 0);
    EXPECT_EQ(LastError(handle),
              "The TLS settings cannot change while the connection is open; close it first.");
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
