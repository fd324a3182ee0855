// Throw-away authorities and certificates for TLS tests, made with OpenSSL's C API.
#include "support/TlsCertificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace qdo::test {

namespace {

struct TFreeKey {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct TFreeCertificate {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
struct TFreeBio {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeKey>;
using TCertificate = std::unique_ptr<X509, TFreeCertificate>;
using TBio = std::unique_ptr<BIO, TFreeBio>;

[[noreturn]] void Fail(const std::string& step) {
    char reason[256] = "no detail";
    if (const unsigned long code = ERR_get_error())
        ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    throw std::runtime_error("test certificates: " + step + " failed: " + reason);
}

void Check(bool ok, const std::string& step) {
    if (!ok)
        Fail(step);
}

TKey NewKey() {
    TKey key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "making a P-256 key");
    return key;
}

constexpr long secondsPerDay = 24L * 60 * 60;

// A version 3 certificate for `key`, named `commonName`, valid for the given days, with a
// random serial number; not yet signed and without extensions.
TCertificate NewCertificate(EVP_PKEY* key, const std::string& commonName, int notBeforeDays,
                            int validDays) {
    TCertificate certificate(X509_new());
    Check(certificate != nullptr, "making a certificate");
    Check(X509_set_version(certificate.get(), X509_VERSION_3) == 1, "setting the version");
    BIGNUM* serial = BN_new();
    const bool serialSet =
        serial != nullptr && BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
        BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate.get())) != nullptr;
    BN_free(serial);
    Check(serialSet, "setting the serial number");
    Check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), notBeforeDays * secondsPerDay) !=
              nullptr,
          "setting notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()),
                          (notBeforeDays + validDays) * secondsPerDay) != nullptr,
          "setting notAfter");
    Check(X509_set_pubkey(certificate.get(), key) == 1, "setting the public key");
    X509_NAME* name = X509_get_subject_name(certificate.get());
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0) == 1,
          "setting the common name");
    return certificate;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    Check(extension != nullptr, "making the extension " + value);
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    Check(added, "adding the extension " + value);
}

void WriteFile(const std::string& path, const std::function<int(BIO*)>& write, bool secret) {
    TBio file(BIO_new_file(path.c_str(), "w"));
    Check(file != nullptr, "opening " + path);
    Check(write(file.get()) == 1, "writing " + path);
    file.reset();
    if (secret)
        std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_write);
}

TPemFiles WritePair(X509* certificate, EVP_PKEY* key, const std::string& directory,
                    const std::string& baseName) {
    const std::string base = (std::filesystem::path(directory) / baseName).string();
    TPemFiles files{base + ".crt", base + ".key"};
    WriteFile(
        files.Certificate, [&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); }, false);
    WriteFile(
        files.Key,
        [&](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
        },
        true);
    return files;
}

} // namespace

struct TTestAuthority::TState {
    TKey Key;
    TCertificate Certificate;
};

TTestAuthority::TTestAuthority(const std::string& name) : state_(std::make_unique<TState>()) {
    state_->Key = NewKey();
    state_->Certificate = NewCertificate(state_->Key.get(), name, -1, 365);
    X509* certificate = state_->Certificate.get();
    Check(X509_set_issuer_name(certificate, X509_get_subject_name(certificate)) == 1,
          "setting the issuer");
    AddExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(certificate, certificate, NID_subject_key_identifier, "hash");
    Check(X509_sign(certificate, state_->Key.get(), EVP_sha256()) > 0, "signing the CA");
}

TTestAuthority::~TTestAuthority() = default;
TTestAuthority::TTestAuthority(TTestAuthority&&) noexcept = default;
TTestAuthority& TTestAuthority::operator=(TTestAuthority&&) noexcept = default;

TPemFiles TTestAuthority::WriteTo(const std::string& directory, const std::string& baseName) const {
    return WritePair(state_->Certificate.get(), state_->Key.get(), directory, baseName);
}

std::string TTestAuthority::WriteHashed(const std::string& directory) const {
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(state_->Certificate.get()));
    const std::string path = (std::filesystem::path(directory) / name).string();
    WriteFile(
        path, [&](BIO* bio) { return PEM_write_bio_X509(bio, state_->Certificate.get()); }, false);
    return path;
}

TPemFiles TTestAuthority::Issue(const std::string& directory, const std::string& baseName,
                                const TLeafOptions& options) const {
    TKey key = NewKey();
    TCertificate certificate =
        NewCertificate(key.get(), options.CommonName, options.NotBeforeDays, options.ValidDays);
    X509* leaf = certificate.get();
    X509* issuer = state_->Certificate.get();
    Check(X509_set_issuer_name(leaf, X509_get_subject_name(issuer)) == 1, "setting the issuer");
    AddExtension(leaf, issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(leaf, issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(leaf, issuer, NID_ext_key_usage, options.Client ? "clientAuth" : "serverAuth");
    AddExtension(leaf, issuer, NID_subject_key_identifier, "hash");
    AddExtension(leaf, issuer, NID_authority_key_identifier, "keyid:always");
    std::string names;
    for (const std::string& dns : options.DnsNames)
        names += (names.empty() ? "DNS:" : ",DNS:") + dns;
    for (const std::string& ip : options.IpAddresses)
        names += (names.empty() ? "IP:" : ",IP:") + ip;
    if (!names.empty())
        AddExtension(leaf, issuer, NID_subject_alt_name, names);
    Check(X509_sign(leaf, state_->Key.get(), EVP_sha256()) > 0, "signing " + baseName);
    return WritePair(leaf, key.get(), directory, baseName);
}

std::string TTestAuthority::CertificatePem() const {
    TBio memory(BIO_new(BIO_s_mem()));
    Check(memory != nullptr && PEM_write_bio_X509(memory.get(), state_->Certificate.get()) == 1,
          "writing the CA certificate");
    char* data = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

TTlsTestSet WriteTlsTestSet(const std::string& directory) {
    std::filesystem::create_directories(directory);
    const TTestAuthority authority("qdo test CA");
    const TTestAuthority other("qdo other CA");
    TTlsTestSet set;
    set.Authority = authority.WriteTo(directory, "ca");
    set.OtherAuthority = other.WriteTo(directory, "other-ca");
    TLeafOptions server;
    server.IpAddresses = {"127.0.0.1", "::1"};
    set.Server = authority.Issue(directory, "server", server);
    TLeafOptions expired = server;
    expired.NotBeforeDays = -30;
    expired.ValidDays = 10;
    set.Expired = authority.Issue(directory, "expired", expired);
    TLeafOptions wrongName;
    wrongName.CommonName = "elsewhere.invalid";
    wrongName.DnsNames = {"elsewhere.invalid"};
    wrongName.IpAddresses = {};
    set.WrongName = authority.Issue(directory, "wrong-name", wrongName);
    set.Untrusted = other.Issue(directory, "untrusted", server);
    TLeafOptions client;
    client.CommonName = "qdo test client";
    client.DnsNames = {};
    client.IpAddresses = {};
    client.Client = true;
    set.Client = authority.Issue(directory, "client", client);
    return set;
}

} // namespace qdo::test
