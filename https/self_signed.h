#pragma once
// The free endpoint's self-signed certificate, made once and reused while both
// files exist.

#include <string>

inline constexpr const char* kSelfSignedCert = "/tmp/selfsigned.pem";
inline constexpr const char* kSelfSignedKey = "/tmp/selfsigned.key";

// The openssl command that writes both files.
std::string self_signed_command(const std::string& cert, const std::string& key);
// Runs the command (with bash, waiting for it) unless both files exist. The
// result is not judged here: a missing file makes the vhost creation fail.
void ensure_self_signed_files(const std::string& cert, const std::string& key);
