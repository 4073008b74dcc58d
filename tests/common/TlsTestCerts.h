// A throwaway certificate authority and server certificates made for one test run by the openssl
// command line, in a scratch directory. Nothing is added to the machine's trust store.
#pragma once

#include <string>

#include "common/TestPaths.h"
#include "common/TestProcess.h"

namespace kva_test {

struct TlsTestCerts {
    struct Pair {
        std::string cert, key;  // PEM files
    };
    std::string dir;
    std::string caFile;  // the authority to trust
    Pair good;           // 127.0.0.1, ::1 and localhost, valid now
    Pair expired;        // same names, ended before now
    Pair wrongHost;      // valid, but only for other.example
    Pair untrusted;      // valid names, from an authority nobody trusts

    bool Make() {
        dir = MakeTempDir("kva_pki_");
        caFile = dir + "/ca.pem";
        auto pair = [this](const std::string& n) { return Pair{dir + "/" + n + ".pem", dir + "/" + n + ".key"}; };
        good = pair("good"), expired = pair("expired"), wrongHost = pair("wrong"), untrusted = pair("untrusted");
        const Pair ca = pair("ca"), rogue = pair("rogue");
        const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
        auto authority = [&](const Pair& p, const std::string& cn) {
            return "openssl req -x509" + newKey + p.key + " -out " + p.cert + " -subj '/CN=" + cn +
                   "' -days 30 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign";
        };
        auto issue = [&](const Pair& p, const std::string& cn, const std::string& names, const Pair& by, int days,
                         int serial) {
            return "printf 'basicConstraints=critical,CA:FALSE\\nextendedKeyUsage=serverAuth\\nsubjectAltName=" +
                   names + "\\n' >" + p.cert + ".ext && openssl req -new" + newKey + p.key + " -subj '/CN=" + cn +
                   "' | openssl x509 -req -CA " + by.cert + " -CAkey " + by.key + " -set_serial " +
                   std::to_string(serial) + " -days " + std::to_string(days) + " -extfile " + p.cert + ".ext -out " +
                   p.cert;
        };
        const std::string names = "IP:127.0.0.1,IP:::1,DNS:localhost";
        int status = -1;
        RunCommand("(" + authority(ca, "Test Authority") + " && " + authority(rogue, "Rogue Authority") + " && " +
                       issue(good, "localhost", names, ca, 10, 10) + " && " +
                       issue(expired, "localhost", names, ca, -1, 11) + " && " +
                       issue(wrongHost, "other.example", "DNS:other.example", ca, 10, 12) + " && " +
                       issue(untrusted, "localhost", names, rogue, 10, 13) + ") >/dev/null 2>&1",
                   &status);
        return status == 0;
    }
    ~TlsTestCerts() { RemoveTree(dir); }
};

}  // namespace kva_test
