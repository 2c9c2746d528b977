#pragma once
// The authorized endpoint's client certificates and its own certificates'
// validity.

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

class LwsServerAuthorized;

// Called for each certificate of the client's chain, root first. 0 accepts the
// certificate under examination, 1 refuses it; libwebsockets goes by this
// result alone, so every accepting path has OpenSSL's verdict behind it.
int verify_client_certificate(X509_STORE_CTX* store, SSL* ssl, int preverify_ok);
// Why verify_client_certificate refused the connection's certificate; null
// when it did not.
const char* tls_refusal_reason(const SSL* ssl);

// True when `path` holds a PEM certificate that is not yet valid or has expired.
bool certificate_out_of_validity(const std::string& path);

// Takes the TLS files away, stops the server (deferred when called from a
// callback) and tells the controller to drop every authorized AP.
void disable_authorized_endpoint(LwsServerAuthorized& server);
