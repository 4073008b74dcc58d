#include "common/TlsTestCerts.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "common/TestPaths.h"

namespace kva_test {

namespace {

struct Issued {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ~Issued() {
        EVP_PKEY_free(key);
        X509_free(cert);
    }
};

// issuer null: a self-signed authority. Validity in days from now.
bool Issue(Issued& out, const char* cn, const Issued* issuer, const char* altNames, long fromDays, long toDays,
           long serial) {
    if (!out.key || !out.cert) return false;
    X509* signer = issuer ? issuer->cert : out.cert;
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), toDays * 86400);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(out.cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(out.cert, X509_get_subject_name(signer));
    X509_set_pubkey(out.cert, out.key);
    std::vector<std::pair<int, const char*>> exts = {{NID_subject_key_identifier, "hash"}};
    if (issuer)
        exts.insert(exts.end(), {{NID_basic_constraints, "critical,CA:FALSE"}, {NID_ext_key_usage, "serverAuth"},
                                 {NID_subject_alt_name, altNames}, {NID_authority_key_identifier, "keyid"}});
    else
        exts.insert(exts.end(), {{NID_basic_constraints, "critical,CA:TRUE"},
                                 {NID_key_usage, "critical,keyCertSign,cRLSign"}});
    for (const auto& e : exts) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, signer, out.cert, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, e.first, e.second);
        const bool ok = ext && X509_add_ext(out.cert, ext, -1) == 1;
        X509_EXTENSION_free(ext);
        if (!ok) return false;
    }
    return X509_sign(out.cert, issuer ? issuer->key : out.key, EVP_sha256()) > 0;
}

bool Save(const Issued& what, const std::string& certPath, const std::string& keyPath) {
    FILE* c = fopen(certPath.c_str(), "w");
    bool ok = c && PEM_write_X509(c, what.cert) == 1;
    if (c) fclose(c);
    if (keyPath.empty()) return ok;
    FILE* k = fopen(keyPath.c_str(), "w");
    ok = ok && k && PEM_write_PrivateKey(k, what.key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (k) fclose(k);
    return ok;
}

}  // namespace

bool TlsTestCerts::Make() {
    dir = MakeTempDir("kva_pki_");
    auto pair = [this](const char* n) { return Pair{dir + "/" + n + ".pem", dir + "/" + n + ".key"}; };
    caFile = dir + "/ca.pem";
    good = pair("good");
    expired = pair("expired");
    wrongHost = pair("wrong");
    untrusted = pair("untrusted");
    const char* names = "IP:127.0.0.1,IP:::1,DNS:localhost";
    Issued ca, rogue, g, e, w, u;
    return Issue(ca, "Test Authority", nullptr, nullptr, -30, 30, 1) &&
           Issue(rogue, "Rogue Authority", nullptr, nullptr, -30, 30, 2) &&
           Issue(g, "localhost", &ca, names, -1, 10, 10) && Issue(e, "localhost", &ca, names, -10, -1, 11) &&
           Issue(w, "other.example", &ca, "DNS:other.example", -1, 10, 12) &&
           Issue(u, "localhost", &rogue, names, -1, 10, 13) && Save(ca, caFile, "") &&
           Save(g, good.cert, good.key) && Save(e, expired.cert, expired.key) &&
           Save(w, wrongHost.cert, wrongHost.key) && Save(u, untrusted.cert, untrusted.key);
}

TlsTestCerts::~TlsTestCerts() { RemoveTree(dir); }

}  // namespace kva_test
