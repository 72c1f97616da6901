// What a signer's certificate must allow, and whom it names: the rules for
// accepting a certificate as a mail signer, and its e-mail addresses, so
// that an application can match them against the message's From or Sender.
#ifndef PROVIDER_SIGNER_POLICY_H
#define PROVIDER_SIGNER_POLICY_H

#include <openssl/x509.h>

#include "vek4kivoidup.h"

namespace detail {

// KIVO_R_SIGNER_NOT_PERMITTED when signer has a key usage without
// digitalSignature and nonRepudiation, or an extended key usage without
// emailProtection and anyExtendedKeyUsage; KIVO_R_NONE otherwise (absent
// extensions allow everything).
kivo_reason_t checkSignerUsage(X509* signer) noexcept;

// The signer's e-mail addresses, one per line (subjectAltName rfc822Name
// first, then the subject's emailAddress, each once), handed to output;
// empty when it names none.
kivo_reason_t describeEmails(X509* signer, gss_buffer_desc& output) noexcept;

} // namespace detail

#endif // PROVIDER_SIGNER_POLICY_H
