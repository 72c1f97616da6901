// The CMS work behind prov_protect and prov_unprotect.
#ifndef PROVIDER_CMS_OPS_H
#define PROVIDER_CMS_OPS_H

#include "block_sink.h"
#include "credential.h"
#include "ossl_ptr.h"
#include "vek4kivoidup.h"

namespace detail {

// The message digest of a KIVO_DIGEST_* request; null when unsupported.
const EVP_MD* digestFor(OM_uint32 code) noexcept;
// The KIVO_DIGEST_* value of a digest algorithm; 0 when it is none of them.
OM_uint32 digestCodeOf(int nid) noexcept;
// The content cipher of a KIVO_STRENGTH_* request; null when unsupported.
const EVP_CIPHER* cipherFor(OM_uint32 strength) noexcept;

// SignedData over input: encapsulated, or detached when detached is set.
kivo_reason_t signContent(const Identity& identity, OM_uint32 digest, bool detached, const gss_buffer_desc& input,
                          gss_buffer_desc& token);

// EnvelopedData of input for every recipient of targets; each recipient's
// outcome goes to targets.statuses when that is given.
kivo_reason_t encryptContent(const IDUP_Target_Info_desc& targets, OM_uint32 strength, const gss_buffer_desc& input,
                             gss_buffer_desc& token);

// KIVO_R_MALFORMED_TOKEN when the SignedData in token (already parsed as
// cms) lists more digest algorithms or signers than any real message does.
kivo_reason_t checkSignedDataLimits(const gss_buffer_desc& token, CMS_ContentInfo* cms);

// Empties the outputs of a verify record (releasing what an earlier call
// put there), so that nothing stale is read as this call's result.
void resetVerifyOutputs(IDUP_PIDU_Information_desc& info) noexcept;

// Verifies SignedData. signedContent is the content when cms does not hold
// it (a detached signature, or content read where it stands), else null;
// the verified content goes to content unless that is null, landing where
// target says. info (may be null) says what to check and receives what was
// found.
kivo_reason_t verifySigned(Environment& environment, CMS_ContentInfo* cms, const gss_buffer_desc* signedContent,
                           gss_buffer_desc* content, IDUP_PIDU_Information_desc* info,
                           const ContentTarget& target = {});

// Decrypts EnvelopedData with the identity's key into content; encrypted is
// the encrypted content when cms does not hold it, else null; the content
// lands where target says. Every failure after the recipient check gives one
// reason, by one path.
kivo_reason_t decryptEnveloped(const Identity& identity, CMS_ContentInfo* cms, const gss_buffer_desc* encrypted,
                               gss_buffer_desc& content, const ContentTarget& target = {});

} // namespace detail

#endif // PROVIDER_CMS_OPS_H
