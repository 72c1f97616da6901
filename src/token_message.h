// The message an opaque signature or an envelope becomes, written over the
// block of the message it protects. Internal.
#ifndef SMIME_TOKEN_MESSAGE_H
#define SMIME_TOKEN_MESSAGE_H

#include "vek4kivoidup.h"

namespace detail {

// application/pkcs7-mime around the base64 of token (signed-data when
// signedData, else the envelope kind the token is), written into held's
// block, whose bytes the operation no longer needs: the block grows to the
// message's size, so only the growth is fresh memory, and token's memory is
// given back as it is encoded, so that the held message, the token and the
// result never all count at once. 0 with held describing the message; 15
// when the block cannot grow or the message would not fit a descriptor,
// held then as it was (token is left intact only then).
unsigned int wrapTokenOver(gss_buffer_desc& held, const gss_buffer_desc& token, bool signedData);

} // namespace detail

#endif // SMIME_TOKEN_MESSAGE_H
