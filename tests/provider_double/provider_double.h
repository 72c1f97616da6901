// The test provider: every function of the security provider's C interface
// (vek4kivoidup.h), scripted so that unit tests of the message object can see
// exactly what the library asked for and steer what it gets back.
//
// - Every call is recorded in order, with the arguments that matter as
//   key/value strings (formats below).
// - Tokens are deterministic text headers followed by the bytes, so a test
//   can predict them without any cryptography (formats below).
// - Any call can be made to fail with a chosen major and minor status.
// - Every object handed out is tracked until it comes back through one of the
//   double's release functions, so a test can assert that nothing leaks.
//
// All state is process-wide and guarded by one mutex: the C functions and
// this control API may be called from any thread. Outputs come from malloc,
// like the real provider's, so the library releases them the same way.
//
// Argument formats in the record:
// - string buffers: {length,"bytes"}, bytes outside printable ASCII as \xNN
//   (lowercase), '"' and '\' escaped with '\'; a counted NUL shows as \x00.
//   {length,null} for a null value, null for a null descriptor.
// - OIDs: oid#N where N is the KIVOGetOID index the OID equals (by pointer,
//   else by content); oid? for any other OID; null for a null pointer.
// - OID sets passed as arguments: their members, {oid#22,oid#24}; {} empty.
// - handles: kind#N, N counting from 1 per kind since the last reset():
//   container#N, name#N, cred#N, env#N, env_output#N, oid_set#N, pidu#N.
//   kind? for a pointer the double did not hand out (or already took back),
//   null for a null handle, no-address when the handle's address is null.
// - code and flag words (time_req, req_flags, operation, digest, strength,
//   reason codes): hex, "0x" then lowercase digits, 0 as 0x0.
// - counts and lengths: decimal.
// - cred_usage: {length,first 32-bit word in decimal}, e.g. {4,120}; shorter
//   buffers as string buffers.
// A call that fails, planned or not, carries failed=yes and minor=<hex>.
//
// Keys per function (inputs first, then outputs on success):
//   kivo_establish_creds  reserved(null|set) location password name_type | container
//   kivo_import_creds     key_store password | container
//   prov_abolish_creds    container
//   gss_import_name       name name_type | output_name
//   prov_release_name     name
//   idup_acquire_cred_with_auth  desired_name container time_req desired_mechs
//                         cred_usage | output_cred actual_mechs info(the word, hex)
//   prov_release_cred     cred
//   prov_establish_env    cred mech_type protect_mech req_flags services
//                         unsupported_services | env output_a output_b
//   prov_abolish_env      env
//   prov_release_env_output  output
//   prov_protect          env operation digest strength reserved (or request=null)
//                         targets({count=N,statuses=set|null} or null) input
//   prov_unprotect        env token detached_token info(null|pidu#N|set)
//                         verify_flags(when info is given)
//   prov_create_pidu_info | info
//   prov_release_pidu_info  info
//   gss_create_empty_oid_set | set
//   gss_add_oid_set_member  member set
//   prov_release_oid_set  set members
//   prov_release_buffer   buffer length owner(double|caller|none)
//   prov_free_buffer_desc buffer owner(double|caller|none)
//   kivo_display_status   reason
//
// Tokens made by prov_protect:
// - sign (1), in token:      "signed-data(digest=0x400)\n" + the input
// - signature only (7), in detached_token:
//                            "signature(digest=0x300,length=N,checksum=xxxxxxxx)"
//   N the input's length, the checksum its 32-bit FNV-1a hash in 8 lowercase
//   hex digits; token is left empty.
// - encrypt (2), in token:   "enveloped-data(strength=256,recipients=N)\n" +
//   every input byte XOR 0x5A; N the target count (0 without targets), the
//   strength in decimal as given; each target status is set to 0.
// - any other operation fails with KIVO_R_UNSUPPORTED_OPERATION.
// prov_unprotect undoes these: with a detached token it checks the signature
// against token (the signed content) and writes no content; without one it
// returns the content of signed-data or enveloped-data, leaving content
// {0, NULL} when that content is empty. A wrong signature fails with
// GSS_S_BAD_SIG / KIVO_R_SIGNATURE_INVALID, a token of no known kind with
// GSS_S_DEFECTIVE_TOKEN / KIVO_R_MALFORMED_TOKEN. For a signature, a non-null
// info receives reason 0, the digest from the token and a signer_subject of
// "CN=provider double" (the provider's to release); for enveloped data only
// reason 0. Like every output, info's signer_subject must come in empty.
//
// Other failures use the real provider's major status for each reason code
// (a bad argument is GSS_S_CALL_INACCESSIBLE_READ / KIVO_R_BAD_PARAMETER, a
// handle the double did not hand out, or has taken back already,
// GSS_S_NO_CRED / KIVO_R_BAD_HANDLE). Releasing a null handle succeeds and
// does nothing. prov_release_buffer and prov_free_buffer_desc also free
// blocks the caller took from malloc itself.
#ifndef PROVIDER_DOUBLE_H
#define PROVIDER_DOUBLE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "vek4kivoidup.h"

namespace provider_double {

// One recorded call: the C function's name and its arguments in the order
// listed above.
struct Call {
    std::string name;
    std::vector<std::pair<std::string, std::string>> args;

    // The value recorded under key; "" when there is none.
    std::string arg(const std::string& key) const;
};

// Forgets the recorded calls, the planned failures and the settings, and
// restarts every handle counter. Objects still outstanding are neither freed
// nor forgotten: they still count in outstanding() and can still be released
// (under their old labels, which new objects may now repeat).
void reset();

// A copy of the record, oldest call first.
std::vector<Call> calls();

// The names of the recorded calls, oldest first.
std::vector<std::string> callNames();

// Makes the occurrence-th call of the function name, counted from now, fail:
// it returns major (for prov_create_pidu_info, which returns a pointer: NULL),
// sets the minor status to minor where there is one, is recorded with
// failed=yes, and produces no outputs and frees nothing. That holds for the
// release functions too: a test that makes a release fail must then release
// the object another way, or accept it in outstanding(). Several plans may be
// pending for one name; each counts every call of that name made after it.
// Throws std::invalid_argument for a name that is not a provider function or
// an occurrence of 0.
void failCall(const std::string& name, OM_uint32 major, OM_uint32 minor, unsigned occurrence = 1);

// The capability word that idup_acquire_cred_with_auth reports from now on
// (KIVO_CRED_* bits; 0x7 after reset()).
void setCredentialInfo(OM_uint32 word);

// How many objects the double handed out that have not come back through
// its release functions: containers, names, credentials, environments,
// environment outputs, OID sets, PIDU records, and buffers (tokens, content,
// the credential info descriptor, signer subjects, status texts).
std::size_t outstanding();

// The labels of those objects, sorted, e.g. "cred#1", "token#2"; for
// failure messages of leak checks.
std::vector<std::string> outstandingObjects();

// A buffer in the record's format: "null", "{0,null}", "{4,\"abc\\x00\"}".
std::string describeBuffer(const gss_buffer_desc* buffer);

} // namespace provider_double

#endif // PROVIDER_DOUBLE_H
