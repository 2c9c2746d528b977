#pragma once
// The simulated controller's certificate service: issues AP certificates from
// its own CA, stores the controller's copy and hands the AP its files.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>

#include "registry/addr.h"

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct IssuedCert {
    std::string serial;  // upper-case hexadecimal, 12 digits
    std::string cert_pem;
    std::string key_pem;
};

class CertAuthority {
  public:
    static std::optional<CertAuthority> load(const std::string& cert_file,
                                             const std::string& key_file, std::string* error);

    // Subject /CN=<MAC in lower-case colon form>, a fresh key, a random 6-octet
    // serial whose first octet is not zero, valid for `days`.
    std::optional<IssuedCert> issue(const MacAddr& mac, int days = 365) const;

  private:
    CertAuthority(X509Ptr cert, PkeyPtr key) : cert_(std::move(cert)), key_(std::move(key)) {}

    X509Ptr cert_;
    PkeyPtr key_;
};

// Writes `text` to `path` through a temporary file and a rename, so readers
// never see half a file. False (errno set) on failure.
bool write_file_atomic(const std::string& path, const std::string& text, unsigned mode = 0644);

// The stored copy: <ap_cert_dir>/<SERIAL>.pem.
std::string stored_cert_path(const std::string& ap_cert_dir, const std::string& serial);
// What the AP picks up: <delivery_dir>/<bare MAC>.pem and .key.
std::string delivered_cert_path(const std::string& delivery_dir, const MacAddr& mac);
std::string delivered_key_path(const std::string& delivery_dir, const MacAddr& mac);
