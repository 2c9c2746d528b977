#include "https/client_cert.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "controller/ap_events.h"
#include "dialogue/sa_config.h"
#include "https/lws_server_authorized.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/addr.h"

namespace {

struct OpenSslFree {
    void operator()(void* p) const { OPENSSL_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using OpenSslText = std::unique_ptr<char, OpenSslFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// The subject of a certificate issued for an AP is "/CN=" and its MAC.
constexpr size_t kCommonNamePrefix = 4;

void free_reason(void*, void* reason, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<std::string*>(reason);
}

// The slot of each connection's refusal reason, freed with the connection.
int reason_index() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, free_reason);
    return index;
}

// Returns 1, the refusal, after keeping its reason for the handshake's
// refusal line.
int refuse(SSL* ssl, std::string reason) {
    if (ssl != nullptr && SSL_get_ex_data(ssl, reason_index()) == nullptr) {
        SSL_set_ex_data(ssl, reason_index(), new std::string(std::move(reason)));
    }
    return 1;
}

void report(const std::string& reason, std::optional<MacAddr> mac = {}) {
    report_auth_ap_event(reason, std::nullopt, mac);
}

int refuse_chain(const char* format, const char* reason, X509_STORE_CTX* store, SSL* ssl) {
    const int error = X509_STORE_CTX_get_error(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    const char* text = X509_verify_cert_error_string(error);
    metrics_tls_chain_refused(error);
    sa_trace.ap_lib(format, text, error, depth);
    report(std::string(reason) + text + " (" + std::to_string(error) + ") , depth - " +
           std::to_string(depth));
    return refuse(ssl, std::string("certificate chain: ") + text);
}

X509Ptr read_pem_certificate(BIO* bio) {
    return X509Ptr(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
}

// The AP's certificate is the stored copy exactly when their DER bytes match
// (what X509_cmp decides too). Comparing the bytes spares decoding the copy
// through OpenSSL 3's slow decoders on every accepted AP; any other outcome
// takes the full parse, which tells a bad file from a different certificate.
bool same_der_as_stored(X509* cert, BIO* bio) {
    unsigned char* stored = nullptr;
    long stored_len = 0;
    char* name = nullptr;
    if (PEM_bytes_read_bio(&stored, &stored_len, &name, PEM_STRING_X509, bio, nullptr, nullptr) !=
        1) {
        ERR_clear_error();
        return false;
    }
    const std::unique_ptr<unsigned char, OpenSslFree> stored_owner(stored);
    const OpenSslText name_owner(name);
    unsigned char* der = nullptr;
    const int der_len = i2d_X509(cert, &der);
    const std::unique_ptr<unsigned char, OpenSslFree> der_owner(der);
    return der_len > 0 && der_len == stored_len && std::memcmp(der, stored, der_len) == 0;
}

int accept_stored_copy(const MacAddr& serial_mac, const MacAddr& subject_mac) {
    ++metrics().tls_accepted;
    sa_trace.sys_mac(serial_mac, "Certificate OK");
    report("certificate ok", serial_mac);
    sa_trace.events_mac(subject_mac, "accept AP with valid certificate");
    report("accept AP with valid certificate", subject_mac);
    return 0;
}

// Compares the certificate with the copy stored under its serial number.
int check_stored_copy(X509* cert, const MacAddr& subject_mac, SSL* ssl) {
    const BnPtr serial(ASN1_INTEGER_to_BN(X509_get_serialNumber(cert), nullptr));
    if (!serial) {
        return refuse(ssl, "serial number unreadable");
    }
    const OpenSslText serial_hex(BN_bn2hex(serial.get()));
    if (!serial_hex) {
        return refuse(ssl, "serial number unreadable");
    }
    // Six octets, the first not zero: the serial is the AP's MAC too.
    const MacAddr serial_mac = MacAddr::from_str(serial_hex.get());
    if (!serial_mac.valid) {
        metrics_tls_refused(TlsRefusal::SUBJECT);  // the serial names no AP
        return refuse(ssl, std::string("serial number ") + serial_hex.get() + " is not a MAC");
    }
    const std::string file = g_sa_config->ap_cert_dir + "/" + serial_hex.get() + ".pem";
    const BioPtr bio(BIO_new(BIO_s_file()));
    if (!bio) {
        return refuse(ssl, "internal error");
    }
    if (BIO_read_filename(bio.get(), file.c_str()) <= 0) {
        sa_trace.sys_mac(serial_mac, "Certificate file [%s] does not exist", file.c_str());
        metrics_tls_refused(TlsRefusal::NOT_STORED);
        report("certificate file [" + file + "] does not exist", serial_mac);
        return refuse(ssl, "not stored: " + file);
    }
    if (same_der_as_stored(cert, bio.get())) {
        return accept_stored_copy(serial_mac, subject_mac);
    }
    if (BIO_reset(bio.get()) != 0) {
        return refuse(ssl, "internal error");
    }
    const X509Ptr stored = read_pem_certificate(bio.get());
    if (!stored) {
        sa_trace.sys_mac(serial_mac, "Unable to load certificate from file [%s]", file.c_str());
        metrics_tls_refused(TlsRefusal::NOT_STORED);  // no usable stored copy
        report("unable to load certificate from file [" + file + "]", serial_mac);
        return refuse(ssl, "stored copy unreadable: " + file);
    }
    if (X509_cmp(cert, stored.get()) != 0) {
        sa_trace.sys_mac(serial_mac, "Certificate differs from stored [%s]", file.c_str());
        metrics_tls_refused(TlsRefusal::DIFFERS);
        report("certificate differs from stored [" + file + "]", serial_mac);
        return refuse(ssl, "differs from stored: " + file);
    }
    return accept_stored_copy(serial_mac, subject_mac);
}

}  // namespace

int verify_client_certificate(X509_STORE_CTX* store, SSL* ssl, int preverify_ok) {
    if (preverify_ok == 0) {
        return refuse_chain("SSL error: %s (%d), depth: %d\n", "ssl error: ", store, ssl);
    }
    if (SSL_get_verify_result(ssl) != X509_V_OK) {
        return refuse_chain("SSL client certificate error: %s (%d), depth: %d",
                            "ssl client certificate error: ", store, ssl);
    }
    sa_trace.ap_lib("SSL client certificate verified ok\n");

    X509* cert = X509_STORE_CTX_get_current_cert(store);
    if (cert == nullptr) {
        return refuse(ssl, "no certificate to examine");
    }
    const OpenSslText subject(X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0));
    if (!subject) {
        sa_trace.warn("No subject field in AP certificate");
        metrics_tls_refused(TlsRefusal::SUBJECT);
        report("no subject field in AP certificate");
        return refuse(ssl, "no subject");
    }
    const OpenSslText issuer(X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0));
    if (!issuer) {
        sa_trace.warn("No issuer field in AP certificate");
        metrics_tls_refused(TlsRefusal::SUBJECT);
        report("no issuer field in AP certificate");
        return refuse(ssl, "no issuer");
    }
    // Self-issued: the root of the chain, already vouched for by OpenSSL.
    if (std::string_view(subject.get()) == issuer.get()) {
        return 0;
    }
    const std::string_view name(subject.get());
    const std::string_view mac_text =
        name.size() >= kCommonNamePrefix ? name.substr(kCommonNamePrefix) : std::string_view();
    const MacAddr subject_mac = MacAddr::from_str(mac_text.data(), mac_text.size());
    if (!subject_mac.valid) {
        sa_trace.events_mac(subject_mac, "AP is not in authorized list");
        metrics_tls_refused(TlsRefusal::SUBJECT);
        report("AP is not in authorized list", subject_mac);
        return refuse(ssl, std::string("subject ") + subject.get() + " names no MAC");
    }
    return check_stored_copy(cert, subject_mac, ssl);
}

const char* tls_refusal_reason(const SSL* ssl) {
    const auto* reason = static_cast<const std::string*>(SSL_get_ex_data(ssl, reason_index()));
    return reason != nullptr ? reason->c_str() : nullptr;
}

bool certificate_out_of_validity(const std::string& path) {
    const BioPtr bio(BIO_new(BIO_s_file()));
    if (!bio || BIO_read_filename(bio.get(), path.c_str()) <= 0) {
        return false;
    }
    const X509Ptr cert = read_pem_certificate(bio.get());
    if (!cert) {
        return false;
    }
    const int not_before = X509_cmp_current_time(X509_get0_notBefore(cert.get()));
    if (not_before == 0) {
        sa_trace.warn("Error in certificate [%s] %s field", path.c_str(), "notBefore");
    } else if (not_before > 0) {
        sa_trace.core("Certificate [%s] is %s", path.c_str(), "not yet valid");
        return true;
    }
    const int not_after = X509_cmp_current_time(X509_get0_notAfter(cert.get()));
    if (not_after == 0) {
        sa_trace.warn("Error in certificate [%s] %s field", path.c_str(), "notAfter");
        return false;
    }
    if (not_after < 0) {
        sa_trace.core("Certificate [%s] is %s", path.c_str(), "expired");
        return true;
    }
    return false;
}

void disable_authorized_endpoint(LwsServerAuthorized& server) {
    g_sa_config->set_tls_files(TlsFiles{});
    server.stop(*g_sa_config);
    auto drop = std::make_shared<IPC_MSG__DROP_AUTH>();
    drop->target = std::make_shared<std::string>("all");
    drop->flag = false;
    if (g_ipc_port == nullptr || g_ipc_port->send(drop) != 0) {
        sa_trace.error("Can't send DROP_AUTH");
    }
}
