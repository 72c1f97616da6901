/* The security provider's C interface: GSS-API types (RFC 2744), the IDUP
 * records (RFC 2479) as this provider defines them, and every function that
 * the S/MIME library calls.
 *
 * Conventions shared by every function:
 * - The result is a GSS-API major status: GSS_S_COMPLETE (0) on success,
 *   otherwise a routine error, GSS_S_FAILURE unless a more precise one fits.
 * - The minor status word receives a kivo_reason_t on every call (KIVO_R_NONE
 *   on success); a null minor pointer is allowed and simply not written.
 * - Output buffers are allocated with malloc; the heap is shared with the
 *   caller, so a buffer the caller filled with malloc may be released by
 *   prov_release_buffer or prov_free_buffer_desc and vice versa.
 * - On failure, outputs are left as they came in. */
#ifndef VEK4KIVOIDUP_H
#define VEK4KIVOIDUP_H

#include <stddef.h>
#include <stdint.h>

#include "vek4_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t OM_uint32;

/* A length and a pointer to bytes. A descriptor that is to receive output
 * must come in empty: length 0, value NULL. */
typedef struct gss_buffer_desc_struct {
    OM_uint32 length;
    void* value;
} gss_buffer_desc, *gss_buffer_t;

/* An object identifier: the DER contents octets, without tag and length. */
typedef struct gss_OID_desc_struct {
    OM_uint32 length;
    void* elements;
} gss_OID_desc, *gss_OID;

typedef struct gss_OID_set_desc_struct {
    size_t count;
    gss_OID elements;
} gss_OID_set_desc, *gss_OID_set;

/* Opaque handles. Credentials and environments pass as void*. */
typedef struct kivo_name_desc* gss_name_t;
typedef struct kivo_env_output_desc* kivo_env_output_t;

/* Major status values (RFC 2744). */
#ifndef GSS_S_COMPLETE
#define GSS_S_COMPLETE 0u
#define GSS_S_CALL_INACCESSIBLE_READ (1u << 24)
#define GSS_S_CALL_INACCESSIBLE_WRITE (2u << 24)
#define GSS_S_BAD_MECH (1u << 16)
#define GSS_S_BAD_NAME (2u << 16)
#define GSS_S_BAD_SIG (6u << 16)
#define GSS_S_NO_CRED (7u << 16)
#define GSS_S_DEFECTIVE_TOKEN (9u << 16)
#define GSS_S_DEFECTIVE_CREDENTIAL (10u << 16)
#define GSS_S_CREDENTIALS_EXPIRED (11u << 16)
#define GSS_S_FAILURE (13u << 16)
#define GSS_S_UNAVAILABLE (16u << 16)
#endif
#ifndef GSS_C_INDEFINITE
#define GSS_C_INDEFINITE 0xFFFFFFFFu
#endif

/* Reason codes: the minor status of every provider call. kivo_display_status
 * turns each into one line of English. The numbers are stable. */
typedef enum kivo_reason_t {
    KIVO_R_NONE = 0,
    KIVO_R_NOT_AVAILABLE = 1,
    KIVO_R_BAD_PARAMETER = 2,
    KIVO_R_NO_MEMORY = 3,
    KIVO_R_BAD_HANDLE = 4,
    KIVO_R_KEYSTORE_UNREADABLE = 5,
    KIVO_R_WRONG_PASSWORD = 6,
    KIVO_R_NO_SUCH_IDENTITY = 7,
    KIVO_R_NO_PRIVATE_KEY = 8,
    KIVO_R_UNSUPPORTED_DIGEST = 9,
    KIVO_R_UNSUPPORTED_CIPHER = 10,
    KIVO_R_BAD_RECIPIENT_CERTIFICATE = 11,
    KIVO_R_NO_RECIPIENTS = 12,
    KIVO_R_MALFORMED_TOKEN = 13,
    KIVO_R_SIGNATURE_INVALID = 14,
    KIVO_R_SIGNER_NOT_TRUSTED = 15,
    KIVO_R_CERTIFICATE_EXPIRED = 16,
    KIVO_R_NOT_A_RECIPIENT = 17,
    KIVO_R_DECRYPTION_FAILED = 18,
    KIVO_R_UNSUPPORTED_OPERATION = 19,
    KIVO_R_INTERNAL = 20,
    /* A certificate of the signer's chain is revoked; the record's
     * revocation_time says since when. */
    KIVO_R_CERTIFICATE_REVOKED = 21,
    /* Revocation was to be checked and could not be: a certificate of the
     * chain has no current CRL from its issuer, and no OCSP answer. */
    KIVO_R_REVOCATION_UNKNOWN = 22,
    /* The signer's certificate is not for signing mail: a key usage without
     * digitalSignature or nonRepudiation, or an extended key usage without
     * emailProtection or anyExtendedKeyUsage. */
    KIVO_R_SIGNER_NOT_PERMITTED = 23,
    /* A valid message or key store in an algorithm this provider does not
     * support (an Ed25519 signature, an X25519 or ChaCha20-Poly1305
     * envelope, a key store's RC2 or RC4 protection where OpenSSL's legacy
     * provider is not installed); kivo_display_status names the algorithm
     * on the thread that met it. */
    KIVO_R_UNSUPPORTED_ALGORITHM = 24
} kivo_reason_t;

/* Digest algorithms of a protect request and of a verification's outcome.
 * 0 asks for the provider's default, SHA-256. */
#define KIVO_DIGEST_DEFAULT 0x000u
#define KIVO_DIGEST_MD2 0x100u
#define KIVO_DIGEST_MD5 0x200u
#define KIVO_DIGEST_SHA1 0x300u
#define KIVO_DIGEST_SHA256 0x400u
#define KIVO_DIGEST_SHA384 0x500u
#define KIVO_DIGEST_SHA512 0x600u
/* Added to SHA-256, SHA-384 or SHA-512: an RSASSA-PSS signature (MGF1 with
 * the same digest, a salt as long as the digest). A verification reports it
 * for a PSS signature, whatever parameters that has. */
#define KIVO_DIGEST_PSS 0x1000u

/* Content-encryption strengths of an encrypt request. */
#define KIVO_STRENGTH_DEFAULT 0u /* AES-256-CBC */
#define KIVO_STRENGTH_AES128 128u
#define KIVO_STRENGTH_DES3 168u /* DES-EDE3-CBC, for old peers only */
#define KIVO_STRENGTH_AES192 192u
#define KIVO_STRENGTH_AES256 256u
/* Added to an AES key size: AES-GCM, as an AuthEnvelopedData. */
#define KIVO_STRENGTH_GCM 0x1000u
/* Added to any strength: RSA recipients get RSAES-OAEP (SHA-256, MGF1 with
 * SHA-256) instead of PKCS #1 v1.5 key transport; EC recipients are as ever. */
#define KIVO_STRENGTH_OAEP 0x2000u

/* The operation of a protect request. */
typedef enum IDUP_Protect_Operation {
    IDUP_Protect_Sign = 1,          /* encapsulated SignedData */
    IDUP_Protect_Encrypt = 2,       /* EnvelopedData */
    IDUP_Protect_SignatureOnly = 7  /* detached SignedData */
} IDUP_Protect_Operation;

/* Four 32-bit words: operation, digest, strength, and a reserved 0. */
typedef struct IDUP_Protect_Request_desc {
    OM_uint32 operation;
    OM_uint32 digest;
    OM_uint32 strength;
    OM_uint32 reserved;
} IDUP_Protect_Request_desc;

/* The recipients of an encryption. */
typedef struct IDUP_Target_Info_desc {
    OM_uint32 count;
    gss_buffer_desc* recipients; /* count X.509 certificates, PEM or DER */
    OM_uint32* statuses;         /* optional (may be NULL): receives, per
                                    recipient, 0 when accepted, else a reason */
} IDUP_Target_Info_desc;

/* verify_flags bits. The last three need KIVO_VERIFY_CHAIN. */
#define KIVO_VERIFY_SIGNATURE 0x1u
#define KIVO_VERIFY_CHAIN 0x2u
/* Every certificate of the chain but the trust anchor must have a current
 * CRL from its issuer: from the record's crls, the key store, or the
 * message. Delta CRLs are not used. */
#define KIVO_VERIFY_REVOCATION 0x4u
/* Revocation as above, also fetched over HTTP: OCSP from the certificate's
 * responder, else the CRL of its distribution point. Never done unless
 * asked, since a fetch tells the responder whose mail is being read. */
#define KIVO_VERIFY_ONLINE 0x8u
/* Chain and revocation as of the signature's signing time (the chain
 * model, for archived mail) instead of validation_time; a signature without
 * one is checked as of validation_time. */
#define KIVO_VERIFY_AT_SIGNING_TIME 0x10u

/* What a verification asks for and what it found out. The caller sets
 * verify_flags (never 0) and may set the inputs (trust_anchors, crls,
 * validation_time, certificates); the provider fills the outputs. Output
 * buffers are the provider's and are released with prov_release_buffer
 * (prov_release_pidu_info releases them too). */
typedef struct IDUP_PIDU_Information_desc {
    OM_uint32 verify_flags;           /* KIVO_VERIFY_SIGNATURE, optionally | KIVO_VERIFY_CHAIN and the others */
    gss_buffer_desc trust_anchors;    /* input, optional: extra PEM trust anchors for this call */
    OM_uint32 reason;                 /* output: KIVO_R_NONE when valid, else why not */
    gss_buffer_desc signer_subject;   /* output: the signer's subject as one line of text */
    gss_buffer_desc signer_certificate; /* output: the signer's certificate, DER */
    OM_uint32 digest;                 /* output: a KIVO_DIGEST_* value */
    int64_t signing_time;             /* output: seconds since 1970, 0 when absent */
    gss_buffer_desc crls;             /* input, optional: CRLs, PEM or DER, one or several */
    int64_t validation_time;          /* input: check chain and revocation as of then (seconds since 1970); 0: now */
    gss_buffer_desc signer_emails;    /* output: the signer certificate's e-mail addresses, one per line
                                         (subjectAltName rfc822Name first, then the subject's emailAddress) */
    int64_t revocation_time;          /* output: for KIVO_R_CERTIFICATE_REVOKED, when it was revoked */
    gss_buffer_desc certificates;     /* input, optional: PEM certificates the message may lack (the signer's,
                                         intermediates), used to find the signer and build the chain; never
                                         trusted as anchors */
} IDUP_PIDU_Information_desc;

/* --- Credentials --------------------------------------------------------- */

/* Makes a credential container from a key store. location: the path of a
 * PKCS#12 file or of a PEM file with a private key and certificates, as a
 * string buffer whose length counts the terminating NUL; an empty location
 * (the NUL alone) makes an empty container, good only for encrypting and
 * verifying. password: likewise a string buffer. reserved must be NULL. */
VEK4KIVOIDUP_API OM_uint32 kivo_establish_creds(void* reserved, const gss_buffer_desc* location,
                                                const gss_buffer_desc* password, gss_OID name_type,
                                                OM_uint32* minor_status, gss_buffer_desc** container);

/* Makes a credential container from PKCS#12 or PEM bytes in memory.
 * password is a string buffer as for kivo_establish_creds. */
VEK4KIVOIDUP_API OM_uint32 kivo_import_creds(const gss_buffer_desc* key_store,
                                             const gss_buffer_desc* password, OM_uint32* minor_status,
                                             gss_buffer_desc** container);

/* Releases a container; *container is NULL afterwards. */
VEK4KIVOIDUP_API OM_uint32 prov_abolish_creds(gss_buffer_desc** container, OM_uint32* minor_status);

/* Copies a principal name (a string buffer) and its name type. */
VEK4KIVOIDUP_API OM_uint32 gss_import_name(OM_uint32* minor_status, const gss_buffer_desc* name,
                                           gss_OID name_type, gss_name_t* output_name);

VEK4KIVOIDUP_API OM_uint32 prov_release_name(OM_uint32* minor_status, gss_name_t* name);

/* Selects one identity of the container by principal name and makes a
 * credential of it. info receives a provider-allocated descriptor whose value
 * begins with the credential's capability word (KIVO_CRED_*); release it with
 * prov_free_buffer_desc. */
VEK4KIVOIDUP_API OM_uint32 idup_acquire_cred_with_auth(gss_name_t desired_name, const gss_buffer_desc* container,
                                                       OM_uint32 time_req, gss_OID_set desired_mechs,
                                                       const gss_buffer_desc* cred_usage, OM_uint32* minor_status,
                                                       void** output_cred, gss_OID_set* actual_mechs,
                                                       gss_buffer_desc** info, OM_uint32* time_rec);

/* Capability bits of an acquired credential. */
#define KIVO_CRED_CAN_SIGN 0x1u
#define KIVO_CRED_CAN_DECRYPT 0x2u
#define KIVO_CRED_CERT_VALID_NOW 0x4u

VEK4KIVOIDUP_API OM_uint32 prov_release_cred(OM_uint32* minor_status, void** cred);

/* --- Environments -------------------------------------------------------- */

VEK4KIVOIDUP_API OM_uint32 prov_establish_env(const void* cred, gss_OID mech_type, gss_OID protect_mech,
                                              OM_uint32 req_flags, gss_OID_set services, OM_uint32* minor_status,
                                              void** env, kivo_env_output_t* output_a,
                                              kivo_env_output_t* output_b, OM_uint32* time_rec,
                                              gss_OID_set unsupported_services);

VEK4KIVOIDUP_API OM_uint32 prov_abolish_env(void** env, OM_uint32* minor_status);

VEK4KIVOIDUP_API OM_uint32 prov_release_env_output(OM_uint32* minor_status, kivo_env_output_t* output);

/* --- Protection ---------------------------------------------------------- */

/* Signs or encrypts input. Sign gives the encapsulated token in token;
 * signature-only gives the detached token in detached_token; encrypt gives
 * the EnvelopedData in token, for every recipient of targets. */
VEK4KIVOIDUP_API OM_uint32 prov_protect(void* env, const IDUP_Protect_Request_desc* request,
                                        IDUP_Target_Info_desc* targets, const gss_buffer_desc* input,
                                        OM_uint32* minor_status, gss_buffer_desc* token,
                                        gss_buffer_desc* detached_token);

/* Verifies or decrypts. Opaque signed and enveloped data: token, no detached
 * token, the content goes to content. Detached: token is the signed content
 * and detached_token the signature; content is left untouched. */
VEK4KIVOIDUP_API OM_uint32 prov_unprotect(void* env, const gss_buffer_desc* token,
                                          const gss_buffer_desc* detached_token, OM_uint32* minor_status,
                                          gss_buffer_desc* content, IDUP_PIDU_Information_desc* info);

/* prov_unprotect for opaque signed and enveloped data whose token the
 * caller holds only to have it unwrapped: the content is written over the
 * token's own bytes, from their start, instead of into a block of its own,
 * so that the token and its content never both take memory. On success
 * content->value is token->value (the caller's block, still freed by the
 * caller; a NUL follows the content). Whatever the outcome, the token's
 * bytes may have been overwritten. */
VEK4KIVOIDUP_API OM_uint32 prov_unprotect_over(void* env, const gss_buffer_desc* token, OM_uint32* minor_status,
                                               gss_buffer_desc* content, IDUP_PIDU_Information_desc* info);

/* Makes a record asking for signature and chain checks; NULL when memory runs
 * out (minor status KIVO_R_NO_MEMORY). */
VEK4KIVOIDUP_API IDUP_PIDU_Information_desc* prov_create_pidu_info(OM_uint32* minor_status);

/* Releases a record made by prov_create_pidu_info with its output buffers. */
VEK4KIVOIDUP_API OM_uint32 prov_release_pidu_info(OM_uint32* minor_status, IDUP_PIDU_Information_desc** info);

/* --- Bookkeeping --------------------------------------------------------- */

VEK4KIVOIDUP_API OM_uint32 gss_create_empty_oid_set(OM_uint32* minor_status, gss_OID_set* set);

/* Adds a copy of member unless the set already holds an equal OID. */
VEK4KIVOIDUP_API OM_uint32 gss_add_oid_set_member(OM_uint32* minor_status, gss_OID member, gss_OID_set* set);

VEK4KIVOIDUP_API OM_uint32 prov_release_oid_set(OM_uint32* minor_status, gss_OID_set* set);

/* Frees the value only; the descriptor is left {0, NULL}. */
VEK4KIVOIDUP_API OM_uint32 prov_release_buffer(OM_uint32* minor_status, gss_buffer_desc* buffer);

/* Frees the value and the descriptor itself; *buffer is NULL afterwards. */
VEK4KIVOIDUP_API OM_uint32 prov_free_buffer_desc(OM_uint32* minor_status, gss_buffer_desc** buffer);

/* One line of English for a reason code, in text (which must come in empty).
 * The text is NUL-terminated; its length leaves the NUL out. Release it with
 * prov_release_buffer. */
VEK4KIVOIDUP_API OM_uint32 kivo_display_status(OM_uint32 reason, gss_buffer_desc* text);

#ifdef __cplusplus
}
#endif

#endif /* VEK4KIVOIDUP_H */
