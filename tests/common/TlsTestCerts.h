// A throwaway certificate authority and server certificates made for one test run, in a
// scratch directory. Nothing is added to the machine's trust store.
#pragma once

#include <string>

namespace kva_test {

struct TlsTestCerts {
    struct Pair {
        std::string cert;  // PEM file
        std::string key;   // PEM file
    };
    std::string dir;
    std::string caFile;  // the authority to trust
    Pair good;           // 127.0.0.1, ::1 and localhost, valid now
    Pair expired;        // same names, ended yesterday
    Pair wrongHost;      // valid, but only for other.example
    Pair untrusted;      // valid names, from an authority nobody trusts

    bool Make();
    ~TlsTestCerts();
};

}  // namespace kva_test
