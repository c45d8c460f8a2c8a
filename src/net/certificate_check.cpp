#include "net/certificate_check.h"

#include <cctype>

namespace kestova {

namespace {

constexpr int kFingerprintBytes = 32;  // SHA-256

// "TLSv1.3" as people write it: "TLS 1.3".
std::string VersionText(const std::string& version) {
  if (version.rfind("TLSv", 0) == 0) return "TLS " + version.substr(4);
  return version;
}

}  // namespace

std::string NormalizeFingerprint(const std::string& text) {
  std::string rest = text;
  for (const char* prefix : {"SHA256:", "SHA-256:", "SHA256 ", "SHA-256 ", "SHA256", "SHA-256"}) {
    const std::string p = prefix;
    if (rest.size() >= p.size()) {
      bool same = true;
      for (size_t i = 0; i < p.size() && same; ++i) {
        same = std::toupper(static_cast<unsigned char>(rest[i])) == p[i];
      }
      if (same) {
        rest = rest.substr(p.size());
        break;
      }
    }
  }
  std::string digits;
  for (const char c : rest) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isxdigit(u)) {
      digits += static_cast<char>(std::toupper(u));
    } else if (c != ':' && c != ' ' && c != '\t') {
      return std::string();
    }
  }
  if (digits.size() != 2 * kFingerprintBytes) return std::string();
  // Separators, if any, must fall between pairs: "A:BC..." is a typing slip,
  // not a fingerprint.
  size_t pair_digits = 0;
  for (const char c : rest) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      ++pair_digits;
    } else if (pair_digits % 2 != 0) {
      return std::string();
    }
  }
  std::string canonical;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (i > 0) canonical += ':';
    canonical += digits.substr(i, 2);
  }
  return canonical;
}

CertificateCheck JudgeCertificate(const CertificateInfo& certificate, const std::string& trusted_fingerprint) {
  CertificateCheck check;
  check.certificate = certificate;
  check.trusted = NormalizeFingerprint(trusted_fingerprint);
  using Verdict = CertificateCheck::Verdict;
  if (certificate.fingerprint.empty()) {
    check.verdict = Verdict::Untrusted;
  } else if (certificate.verified) {
    check.verdict = Verdict::Verified;
  } else if (check.trusted.empty()) {
    check.verdict = Verdict::Untrusted;
  } else {
    check.verdict = check.trusted == certificate.fingerprint ? Verdict::Trusted : Verdict::Changed;
  }
  return check;
}

std::string RefusalLine(const CertificateCheck& check) {
  if (check.verdict == CertificateCheck::Verdict::Changed) {
    return "The server's certificate is not the one trusted for this site: it has changed (" +
           check.certificate.verify_error + ")";
  }
  if (check.certificate.fingerprint.empty()) return "The server sent no certificate";
  return "The server's certificate is not trusted: " + check.certificate.verify_error;
}

std::vector<std::string> DescribeCertificate(const CertificateCheck& check) {
  const CertificateInfo& c = check.certificate;
  std::vector<std::string> lines;
  if (c.fingerprint.empty()) return lines;
  lines.push_back("Certificate SHA-256 fingerprint: " + c.fingerprint);
  if (check.verdict == CertificateCheck::Verdict::Changed) {
    lines.push_back("Fingerprint trusted for this site: " + check.trusted);
  }
  lines.push_back("Subject: " + c.subject);
  lines.push_back("Issuer: " + c.issuer);
  lines.push_back("Valid from " + c.not_before + " to " + c.not_after);
  return lines;
}

std::string SecuritySummary(const std::string& version, const std::string& cipher, const CertificateCheck& check) {
  const char* how = check.verdict == CertificateCheck::Verdict::Verified ? "certificate verified"
                                                                         : "certificate trusted by its fingerprint";
  return VersionText(version) + " (" + cipher + "), " + how;
}

}  // namespace kestova
