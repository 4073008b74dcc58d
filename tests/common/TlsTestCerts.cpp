#include "common/TlsTestCerts.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "common/HttpTestServer.h"
#include "common/TestPaths.h"

namespace kva_test {

namespace {

struct Issued {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    ~Issued() {
        EVP_PKEY_free(key);
        X509_free(cert);
    }
};

bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// issuer null: self-signed authority. Validity in days relative to now.
bool Issue(Issued& out, const char* cn, const Issued* issuer, const char* altNames, long fromDays,
           long toDays, long serial) {
    out.key = EVP_EC_gen("P-256");
    out.cert = X509_new();
    if (!out.key || !out.cert) return false;
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), toDays * 86400);
    X509_NAME* name = X509_get_subject_name(out.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert : out.cert;
    X509_set_issuer_name(out.cert, X509_get_subject_name(issuerCert));
    X509_set_pubkey(out.cert, out.key);
    bool ok = AddExt(out.cert, issuerCert, NID_subject_key_identifier, "hash");
    if (issuer) {
        ok = ok && AddExt(out.cert, issuerCert, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExt(out.cert, issuerCert, NID_ext_key_usage, "serverAuth") &&
             AddExt(out.cert, issuerCert, NID_subject_alt_name, altNames) &&
             AddExt(out.cert, issuerCert, NID_authority_key_identifier, "keyid");
    } else {
        ok = ok && AddExt(out.cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE") &&
             AddExt(out.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    return ok && X509_sign(out.cert, issuer ? issuer->key : out.key, EVP_sha256()) > 0;
}

bool Save(const Issued& what, const std::string& certPath, const std::string& keyPath) {
    FILE* c = fopen(certPath.c_str(), "w");
    if (!c) return false;
    bool ok = PEM_write_X509(c, what.cert) == 1;
    fclose(c);
    if (keyPath.empty()) return ok;
    FILE* k = fopen(keyPath.c_str(), "w");
    if (!k) return false;
    ok = ok && PEM_write_PrivateKey(k, what.key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    fclose(k);
    return ok;
}

}  // namespace

bool TlsTestCerts::Make() {
    dir = MakeTempDir("kva_pki_");
    const char* names = "IP:127.0.0.1,IP:::1,DNS:localhost";
    Issued ca, rogue, goodIssued, expiredIssued, wrongIssued, strayIssued;
    if (!Issue(ca, "Test Authority", nullptr, nullptr, -30, 30, 1) ||
        !Issue(rogue, "Rogue Authority", nullptr, nullptr, -30, 30, 2) ||
        !Issue(goodIssued, "localhost", &ca, names, -1, 10, 10) ||
        !Issue(expiredIssued, "localhost", &ca, names, -10, -1, 11) ||
        !Issue(wrongIssued, "other.example", &ca, "DNS:other.example", -1, 10, 12) ||
        !Issue(strayIssued, "localhost", &rogue, names, -1, 10, 13)) {
        return false;
    }
    auto pair = [this](const char* n) { return Pair{dir + "/" + n + ".pem", dir + "/" + n + ".key"}; };
    caFile = dir + "/ca.pem";
    good = pair("good");
    expired = pair("expired");
    wrongHost = pair("wrong");
    untrusted = pair("untrusted");
    return Save(ca, caFile, "") && Save(goodIssued, good.cert, good.key) &&
           Save(expiredIssued, expired.cert, expired.key) &&
           Save(wrongIssued, wrongHost.cert, wrongHost.key) &&
           Save(strayIssued, untrusted.cert, untrusted.key);
}

TlsTestCerts::~TlsTestCerts() { RemoveTree(dir); }

}  // namespace kva_test
