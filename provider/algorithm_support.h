// Which algorithms of a message the provider cannot use. A valid message in
// one of them (an Ed25519 signature, a ChaCha20-Poly1305 envelope) must be
// named as unsupported, not taken for a forged message or one for someone
// else. Asked only once OpenSSL has failed, so that whatever OpenSSL can do
// is never refused here.
#ifndef PROVIDER_ALGORITHM_SUPPORT_H
#define PROVIDER_ALGORITHM_SUPPORT_H

#include <openssl/cms.h>

#include "vek4kivoidup.h"

namespace detail {

// KIVO_R_UNSUPPORTED_ALGORITHM, with algorithm named as role ("the
// signature algorithm") for kivo_display_status.
kivo_reason_t unsupported(const char* role, const ASN1_OBJECT* algorithm) noexcept;

// That reason when a signer of cms signs with a public-key algorithm we do
// not verify; KIVO_R_NONE otherwise.
kivo_reason_t checkSignatureAlgorithms(CMS_ContentInfo* cms) noexcept;

// That reason when a recipient info uses a key transport or a key agreement
// key we do not have; KIVO_R_NONE otherwise.
kivo_reason_t checkRecipientAlgorithm(CMS_RecipientInfo* ri) noexcept;

// That reason when the content of an EnvelopedData or AuthEnvelopedData is
// encrypted with a cipher OpenSSL does not have; KIVO_R_NONE otherwise.
kivo_reason_t checkContentCipher(CMS_ContentInfo* cms) noexcept;

} // namespace detail

#endif // PROVIDER_ALGORITHM_SUPPORT_H
