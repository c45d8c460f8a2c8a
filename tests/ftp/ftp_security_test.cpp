#include "net/certificate_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestova {
namespace {

using ::testing::ElementsAre;

// 32 bytes: 00 11 22 ... ff 00 11 ... in the stored form.
const std::string kStored =
    "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
const std::string kBare = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";

TEST(FingerprintTest, TheFormsPeopleCopyAreStoredOneWayAndSlipsAreRefused) {
  const struct {
    std::string typed;
    std::string stored;
  } cases[] = {
      {kStored, kStored},
      {kBare, kStored},
      {"SHA256:" + kBare, kStored},
      {"sha-256 " + kStored, kStored},
      {"SHA256 Fingerprint=" + kStored, ""},  // openssl's label is not part of it
      {"00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff", kStored},
      {"  " + kStored + "\t", kStored},
      {"", ""},
      {kBare.substr(2), ""},                // 31 bytes
      {kBare + "00", ""},                   // 33 bytes (a SHA-1 or other digest is no better)
      {"0:01" + kBare.substr(3), ""},       // a separator inside a pair
      {"zz" + kBare.substr(2), ""},         // not hex
      {kStored.substr(0, 94) + ";FF", ""},  // another separator
      {"SHA1:" + kBare, ""},                // another digest's label
      {std::string(64, 'F') + "\n", ""},    // a line break is no separator
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizeFingerprint(c.typed), c.stored) << '"' << c.typed << '"';
}

TEST(FingerprintTest, ACertificateIsTakenWhenItVerifiesOrIsTheTrustedOne) {
  using Verdict = CertificateCheck::Verdict;
  CertificateInfo seen;
  seen.fingerprint = kStored;
  seen.verify_error = "self-signed certificate";
  const std::string other = std::string(kStored).replace(0, 2, "AB");
  const struct {
    bool verified;
    std::string fingerprint, trusted;
    Verdict verdict;
  } cases[] = {
      {true, kStored, "", Verdict::Verified},
      {true, kStored, other, Verdict::Verified},  // a CA-signed renewal needs no new trust
      {false, kStored, "", Verdict::Untrusted},
      {false, kStored, kBare, Verdict::Trusted},  // stored in another form: the same certificate
      {false, kStored, other, Verdict::Changed},
      {false, kStored, "not a fingerprint", Verdict::Untrusted},
      {false, "", "", Verdict::Untrusted},
      {true, "", kStored, Verdict::Untrusted},  // nothing to judge is never trusted
  };
  for (const auto& c : cases) {
    CertificateInfo certificate = seen;
    certificate.verified = c.verified;
    certificate.fingerprint = c.fingerprint;
    const CertificateCheck check = JudgeCertificate(certificate, c.trusted);
    EXPECT_EQ(check.verdict, c.verdict) << c.verified << " " << c.fingerprint << " / " << c.trusted;
    EXPECT_EQ(check.Accepted(), c.verdict == Verdict::Verified || c.verdict == Verdict::Trusted);
  }

  seen.subject = "CN=127.0.0.1";
  seen.issuer = "CN=Kestova Test CA";
  seen.not_before = "2026-01-01 00:00:00 UTC";
  seen.not_after = "2027-01-01 00:00:00 UTC";
  const CertificateCheck changed = JudgeCertificate(seen, other);
  EXPECT_EQ(RefusalLine(changed),
            "The server's certificate is not the one trusted for this site: it has changed (self-signed certificate)");
  EXPECT_THAT(DescribeCertificate(changed),
              ElementsAre("Certificate SHA-256 fingerprint: " + kStored, "Fingerprint trusted for this site: " + other,
                          "Subject: CN=127.0.0.1", "Issuer: CN=Kestova Test CA",
                          "Valid from 2026-01-01 00:00:00 UTC to 2027-01-01 00:00:00 UTC"));
  EXPECT_EQ(SecuritySummary("TLSv1.3", "TLS_AES_256_GCM_SHA384", JudgeCertificate(seen, kStored)),
            "TLS 1.3 (TLS_AES_256_GCM_SHA384), certificate trusted by its fingerprint");
}

}  // namespace
}  // namespace kestova
