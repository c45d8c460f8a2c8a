// How a TLS server's certificate is judged. A certificate is accepted when its chain verifies
// against the system's CA store for the host, or when its SHA-256
// fingerprint is the one the user chose to trust for the site.
#pragma once

#include <string>
#include <vector>

#include "net/tls_channel.h"

namespace kestova {

// A fingerprint as people copy it: 32 bytes in hex, in pairs separated by
// colons, spaces or nothing, in either case, optionally after "SHA256:" or
// "SHA-256". The form Kestova stores and shows ("AB:CD:..."), or empty when
// the text is not one.
std::string NormalizeFingerprint(const std::string& text);

struct CertificateCheck {
  enum class Verdict {
    None,       // no TLS connection was made
    Verified,   // the chain verifies for this host
    Trusted,    // it does not, but its fingerprint is the trusted one
    Untrusted,  // it does not, and no fingerprint is trusted
    Changed,    // it does not, and it is not the certificate that was trusted
  };
  Verdict verdict = Verdict::None;
  CertificateInfo certificate;
  std::string trusted;  // the fingerprint the site trusts, normalized; may be empty

  bool Accepted() const { return verdict == Verdict::Verified || verdict == Verdict::Trusted; }
};

CertificateCheck JudgeCertificate(const CertificateInfo& certificate, const std::string& trusted_fingerprint);

// Why a certificate was refused, in one line after a reply code.
std::string RefusalLine(const CertificateCheck& check);
// The certificate described for people: fingerprint, subject, issuer,
// validity (and the trusted fingerprint when it changed).
std::vector<std::string> DescribeCertificate(const CertificateCheck& check);
// "TLS 1.3 (TLS_AES_256_GCM_SHA384), certificate verified"
std::string SecuritySummary(const std::string& version, const std::string& cipher, const CertificateCheck& check);

}  // namespace kestova
