// libFuzzer target: what a hostile server or a careless paste can hand the
// certificate code. The bytes go in as a fingerprint typed by a user (it
// must come out in the stored form or not at all, and judging by it must
// agree with that form) and as a DER certificate from a server (its names
// and times must come out as text without control characters).
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/certificate_check.h"
#include "net/tls_channel.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool StoredForm(const std::string& text) {
  if (text.size() != 95) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2 ? c != ':' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool Printable(const std::string& text) {
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string stored = kestova::NormalizeFingerprint(text);
  Check(stored.empty() || StoredForm(stored));
  Check(kestova::NormalizeFingerprint(stored) == stored);

  kestova::CertificateInfo seen;
  seen.fingerprint = std::string(95, 'A');
  for (std::size_t i = 2; i < 95; i += 3) seen.fingerprint[i] = ':';
  const kestova::CertificateCheck check = kestova::JudgeCertificate(seen, text);
  Check((check.verdict == kestova::CertificateCheck::Verdict::Trusted) == (stored == seen.fingerprint));

  const unsigned char* der = data;
  if (X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(size))) {
    const kestova::CertificateInfo info = kestova::ReadCertificate(certificate);
    Check(StoredForm(info.fingerprint));
    Check(Printable(info.subject) && Printable(info.issuer));
    Check(Printable(info.not_before) && Printable(info.not_after));
    X509_free(certificate);
  }
  return 0;
}
