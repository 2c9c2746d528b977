#include "tools/controller-sim/cert_authority.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct OsslText {
    void operator()(char* text) const { OPENSSL_free(text); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using OsslTextPtr = std::unique_ptr<char, OsslText>;

std::string openssl_error() {
    const unsigned long code = ERR_get_error();
    if (code == 0) {
        return "unknown OpenSSL error";
    }
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    ERR_clear_error();
    return text.data();
}

BioPtr open_read(const std::string& path) {
    return BioPtr(BIO_new_file(path.c_str(), "r"));
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

bool set_random_serial(X509* cert, std::string& serial_hex) {
    std::array<unsigned char, 6> octets{};
    do {
        if (RAND_bytes(octets.data(), octets.size()) != 1) {
            return false;
        }
    } while (octets[0] == 0);  // the service reads the serial as a 12-digit MAC text
    BnPtr bn(BN_bin2bn(octets.data(), octets.size(), nullptr));
    if (!bn || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) == nullptr) {
        return false;
    }
    OsslTextPtr hex(BN_bn2hex(bn.get()));
    if (!hex) {
        return false;
    }
    serial_hex = hex.get();
    return true;
}

}  // namespace

std::optional<CertAuthority> CertAuthority::load(const std::string& cert_file,
                                                 const std::string& key_file, std::string* error) {
    auto failed = [&](const std::string& what) {
        if (error != nullptr) {
            *error = what + ": " + openssl_error();
        }
        return std::nullopt;
    };
    BioPtr cert_bio = open_read(cert_file);
    X509Ptr cert(cert_bio ? PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) {
        return failed("cannot read the CA certificate " + cert_file);
    }
    BioPtr key_bio = open_read(key_file);
    PkeyPtr key(key_bio ? PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr)
                        : nullptr);
    if (!key) {
        return failed("cannot read the CA key " + key_file);
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        return failed("the CA key " + key_file + " does not match " + cert_file);
    }
    return CertAuthority(std::move(cert), std::move(key));
}

std::optional<IssuedCert> CertAuthority::issue(const MacAddr& mac, int days) const {
    PkeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    if (!key || !cert) {
        return std::nullopt;
    }
    IssuedCert issued;
    const std::string subject = mac.str();
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool built =
        X509_set_version(cert.get(), 2) == 1 && set_random_serial(cert.get(), issued.serial) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(subject.c_str()), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(cert.get(), X509_get_subject_name(cert_.get())) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * days) != nullptr &&
        X509_set_pubkey(cert.get(), key.get()) == 1 &&
        X509_sign(cert.get(), key_.get(), EVP_sha256()) > 0;
    if (!built) {
        return std::nullopt;
    }
    BioPtr cert_out(BIO_new(BIO_s_mem()));
    BioPtr key_out(BIO_new(BIO_s_mem()));
    if (!cert_out || !key_out || PEM_write_bio_X509(cert_out.get(), cert.get()) != 1 ||
        PEM_write_bio_PrivateKey(key_out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        return std::nullopt;
    }
    issued.cert_pem = bio_text(cert_out.get());
    issued.key_pem = bio_text(key_out.get());
    return issued;
}

bool write_file_atomic(const std::string& path, const std::string& text, unsigned mode) {
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            errno = saved;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

std::string stored_cert_path(const std::string& ap_cert_dir, const std::string& serial) {
    return ap_cert_dir + "/" + serial + ".pem";
}

namespace {
std::string bare(const MacAddr& mac) {
    std::string text = mac.str();
    std::erase(text, ':');
    return text;
}
}  // namespace

std::string delivered_cert_path(const std::string& delivery_dir, const MacAddr& mac) {
    return delivery_dir + "/" + bare(mac) + ".pem";
}

std::string delivered_key_path(const std::string& delivery_dir, const MacAddr& mac) {
    return delivery_dir + "/" + bare(mac) + ".key";
}
