// vek4kivosmime: sign, clear-sign, encrypt, verify and decrypt S/MIME
// messages. The one header an application needs.
//
// Conventions of every class here:
// - Members return an unsigned status (the SMIME_* values below); most take
//   an unsigned* minor status last, which after SMIME_PROVIDER_FAILED holds
//   the security provider's reason code (kivo_reason_t, see
//   kivo_display_status).
// - A gss_buffer_desc that is to receive output must come in empty (length
//   0, value null). Bytes handed out are the caller's, allocated with malloc
//   and released with free (or prov_release_buffer; the heap is shared).
// - No member throws.
#ifndef VEK4KIVOSMIME_H
#define VEK4KIVOSMIME_H

#include <atomic>
#include <iosfwd>

#include "vek4_export.h"
#include "vek4kivoidup.h"

class VekMutex;
class smime_utility;
class sbase64;

// --- Status values -------------------------------------------------------

enum : unsigned int {
    SMIME_OK = 0,
    SMIME_BAD_PROTECT_OP = 1,        // protect pipeline given an unknown operation
    SMIME_PROVIDER_FAILED = 10,      // a security provider call failed; see the minor status
    SMIME_FILE_NOT_FOUND = 11,       // the status of the named input file cannot be obtained
    SMIME_FILE_ACCESS = 12,          // a named file cannot be read or written
    SMIME_STREAM_ERROR = 13,         // a stream failed or gave no bytes
    SMIME_MESSAGE_ALREADY_SET = 14,  // a message is held; free it first
    SMIME_NO_MEMORY = 15,            // storage allocation failed, or the object could not be built
    SMIME_NULL_PARAMETER = 16,       // a required pointer is null (also: base64 decoding failed)
    SMIME_NOT_INITIALIZED = 17,      // the object's construction failed
    SMIME_ALREADY_LOGGED_IN = 18,
    SMIME_NOT_LOGGED_IN = 19,
    SMIME_OUTPUT_NOT_EMPTY = 20,     // an output descriptor did not come in empty
    SMIME_NO_MESSAGE = 21,           // no message held, or nothing to hand out
    SMIME_BAD_MESSAGE = 22,          // the message's MIME structure or kind does not fit the operation
    SMIME_BAD_ENCODING = 23,         // invalid quoted-printable input
    SMIME_GENERATOR_EMPTY = 0x290000 // the generator holds nothing to hand over or release
};

// State flags of an SMIMEMessage. getStatus shows the first three only.
enum : unsigned int {
    SMIME_INITIALIZED = 0x01,
    SMIME_MESSAGE_SET = 0x02,
    SMIME_LOGGED_IN = 0x04,
    SMIME_CREDENTIAL_HELD = 0x08,
    SMIME_CONTAINER_HELD = 0x10,
    SMIME_LAST_CALL_FAILED = 0x20
};

// --- Enumerations --------------------------------------------------------

// The kind of an S/MIME message.
enum messageType_t : unsigned int {
    messageNone = 0,          // no message
    messageNotParsed = 1,     // set but not yet classified (never reported)
    messageUntyped = 2,       // no usable Content-Type
    messageSignedData = 3,    // application/pkcs7-mime; smime-type=signed-data
    messageClearSigned = 4,   // multipart/signed with a pkcs7-signature protocol
    messageSignature = 5,     // application/pkcs7-signature
    messageEnvelopedData = 6, // application/pkcs7-mime; smime-type=enveloped-data
    messageUnknown = 7        // any other Content-Type
};

// The digest of a signature, with the micalg name a clear-signed message
// carries: md2, md5, sha1, sha-256, sha-384, sha-512. 0 asks the provider for
// its default (SHA-256) and gives an empty micalg.
enum digestAlgorithm_t : unsigned int {
    digestMD2 = KIVO_DIGEST_MD2,
    digestMD5 = KIVO_DIGEST_MD5,
    digestSHA1 = KIVO_DIGEST_SHA1,
    digestSHA256 = KIVO_DIGEST_SHA256,
    digestSHA384 = KIVO_DIGEST_SHA384,
    digestSHA512 = KIVO_DIGEST_SHA512,
    digestSHA256PSS = KIVO_DIGEST_PSS | KIVO_DIGEST_SHA256,
    digestSHA384PSS = KIVO_DIGEST_PSS | KIVO_DIGEST_SHA384,
    digestSHA512PSS = KIVO_DIGEST_PSS | KIVO_DIGEST_SHA512
};

// The content-encryption strength of encrypt, passed to the provider as it
// stands; the values are the provider's (KIVO_STRENGTH_*).
enum encryptionAlgorithmStrength_t : unsigned int {
    strengthDefault = KIVO_STRENGTH_DEFAULT,
    strengthAES128 = KIVO_STRENGTH_AES128,
    strengthDES3 = KIVO_STRENGTH_DES3,
    strengthAES192 = KIVO_STRENGTH_AES192,
    strengthAES256 = KIVO_STRENGTH_AES256,
    strengthAES128GCM = KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES128,
    strengthAES192GCM = KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES192,
    strengthAES256GCM = KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES256,
    strengthOAEP = KIVO_STRENGTH_OAEP // added to another: strengthAES256GCM | strengthOAEP
};

inline constexpr encryptionAlgorithmStrength_t operator|(encryptionAlgorithmStrength_t a, encryptionAlgorithmStrength_t b) {
    return static_cast<encryptionAlgorithmStrength_t>(static_cast<unsigned int>(a) | static_cast<unsigned int>(b));
}

// The Content-Transfer-Encoding of a scanned body.
enum transferEncoding_t : unsigned int {
    encodingNone = 0,
    encodingBase64 = 1,
    encodingPrintable = 2,
    encoding7bit = 3
};

// --- Records -------------------------------------------------------------

// What a header scan found out about a message.
struct mimeInfo_T {
    messageType_t type;
    transferEncoding_t transferEncoding;
    char boundary[71]; // at most 70 characters and a NUL
    char micalg[20];   // at most 19 characters and a NUL
};

// One block of a file being loaded by smime_utility::loadMessage.
struct smimeBuffer_T {
    smimeBuffer_T* next;   // the following block, null in the last
    unsigned char* buffer; // 65536 bytes from malloc
    unsigned int length;   // bytes of the file held here
};

// --- Utilities -----------------------------------------------------------

// Operations on buffers and files for applications. No state.
class VEK4KIVOSMIME_API smime_utility {
public:
    smime_utility() = default;
    ~smime_utility() = default;
    smime_utility(const smime_utility&) = default;
    smime_utility& operator=(const smime_utility&) = default;

    // Reads a whole existing file into out (value from malloc, release with
    // free; a file of n blocks of 64 KiB takes n * 65536 bytes of storage).
    // 16 for a null argument, 13 when the file cannot be opened or read, 15
    // when memory runs out; out is untouched on failure.
    unsigned int loadMessage(const char* fileName, gss_buffer_desc* out);
    // Frees every node of a chain and its storage; GSS_S_FAILURE for null.
    unsigned int deleteBufferChain(smimeBuffer_T* first);
    // Sets the first count bytes to pseudo-random values (seeded from the
    // clock); GSS_S_FAILURE, buffer unchanged, if it is shorter or has no value.
    unsigned int fillBuffer(gss_buffer_desc* buffer, unsigned int count);
    // Copies the string (without its NUL) to value + offset and returns the
    // address after it; null if the buffer or its value is null. The caller
    // guarantees room: the length is neither checked nor changed.
    char* copyStringToMessage(const char* string, gss_buffer_desc* buffer, int offset);
    // 0 when the first count bytes are equal, else -1 or 1 by the first
    // differing byte (unsigned); -1 if either buffer is shorter than count.
    int cmpgssBuffer(const gss_buffer_desc* first, const gss_buffer_desc* second, unsigned int count);
    // Prints the buffer in hexadecimal on standard output; returns 0.
    unsigned int dumpHexToAscii(const gss_buffer_desc* buffer);
};

// Prints "Hello smime! " and a line feed on standard output; returns 1.
VEK4KIVOSMIME_API int test3();

// --- Transfer encodings --------------------------------------------------

// Base64 with MIME line breaking: 72 characters a line, lines separated by
// a single LF, no break after the last.
class VEK4KIVOSMIME_API sbase64 {
public:
    sbase64();
    ~sbase64();
    sbase64(const sbase64& other) = default;
    sbase64& operator=(const sbase64& other) = default;

    // The base64 text of input in 72-character lines, into output (which the
    // caller hands in empty). 0, or 15 when memory runs out (output then
    // length 0, value null).
    unsigned int encode(const gss_buffer_desc* input, gss_buffer_desc* output);
    // The bytes of base64 text (CR and LF skipped), into output. 0; 15 when
    // memory runs out; 16 when the text is not base64 (output untouched).
    unsigned int decode(const gss_buffer_desc* input, gss_buffer_desc* output);

    // Room that b64Encode needs for n bytes: E + 2 * (E / 72), E = 4 * ((n + 2) / 3).
    static unsigned int deriveEncodeLength(unsigned int n);
    // Room that b64Decode needs for n characters: 3 * (n / 4).
    static unsigned int deriveDecodeLength(unsigned int n);

    // Encodes into a caller's array, a LF after every 72 characters
    // (including after the last line when it is full). Returns the bytes
    // written, 0 when refused (null or empty arguments, size too small).
    unsigned int b64Encode(const unsigned char* input, unsigned int length, unsigned char* output,
                           unsigned int size);
    // Decodes into a caller's array, skipping CR and LF between groups of
    // four. Returns the bytes written, 0 when refused or on any invalid
    // character (a space included) or a group cut short by the end.
    unsigned int b64Decode(const char* input, unsigned int length, unsigned char* output,
                           unsigned int size);

    static const char B64[65];                // the alphabet, and a NUL
    static const unsigned char asc64bin[128]; // character -> value; 0x80 invalid, 0x81 skip, 0x82 '='

private:
    unsigned int convertToMIME(const gss_buffer_desc* text, gss_buffer_desc* output);

    unsigned int lineCount;
};

// Quoted-printable. The decoder is complete; the encoder produces nothing.
class VEK4KIVOSMIME_API sprintable {
public:
    sprintable& operator=(const sprintable&) { return *this; }

    // Leaves output as it was and returns 0.
    static unsigned int encode(const gss_buffer_desc* input, gss_buffer_desc* output);
    // 0 and the decoded bytes in output (malloc, release with free); 23 for
    // input that is not valid quoted-printable, 13 when the bytes cannot be
    // collected. Output is untouched on failure.
    static unsigned int decode(const gss_buffer_desc* input, gss_buffer_desc* output);

private:
    static const unsigned char index_hex[128];
};

// --- MIME containers -----------------------------------------------------

// Base of the generator and the parser: references to a message and a body
// behind eight accessors. References, not copies: the bytes stay the
// caller's. The minor status arguments are neither read nor written, and
// every accessor returns 0. Descriptor arguments must not be null.
class VEK4KIVOSMIME_API SMIMEBase {
public:
    SMIMEBase();
    ~SMIMEBase(); // not virtual: destroy a generator or parser through its own class
    // A copy refers to the same bytes as its source, through descriptors of
    // its own, and has a utility object of its own.
    SMIMEBase(const SMIMEBase& other);
    SMIMEBase& operator=(const SMIMEBase& other);

    virtual unsigned int setMessage(std::istream* stream, unsigned int* minor_status);
    virtual unsigned int setMessage(const gss_buffer_desc* message, unsigned int* minor_status);
    virtual unsigned int getMessage(std::istream* stream, unsigned int* minor_status);
    virtual unsigned int getMessage(gss_buffer_desc* message, unsigned int* minor_status);
    virtual unsigned int setBody(const gss_buffer_desc* body, unsigned int* minor_status);
    virtual unsigned int getBody(gss_buffer_desc* body, unsigned int* minor_status);
    virtual unsigned int setHeader(const gss_buffer_desc* header, unsigned int* minor_status);
    virtual unsigned int getHeader(gss_buffer_desc* header, unsigned int* minor_status);

protected:
    gss_buffer_desc message;
    gss_buffer_desc* messageRef;
    gss_buffer_desc header;
    gss_buffer_desc* headerRef;
    gss_buffer_desc body;
    gss_buffer_desc* bodyRef;
    std::istream* stream;
    smime_utility* utility; // owned; null if it could not be allocated
};

// Wraps a PKCS#7 object as an S/MIME message and holds it until taken.
class VEK4KIVOSMIME_API smimeGenerator final : public SMIMEBase {
public:
    smimeGenerator();
    ~smimeGenerator();
    // A copy holds a copy of the source's message and a codec of its own.
    smimeGenerator(const smimeGenerator& other);
    smimeGenerator& operator=(const smimeGenerator& other);

    using SMIMEBase::getMessage;

    // application/pkcs7-mime enveloped-data around the base64 of pidu.
    // 0; 14 when a message is held; 15; 16 for a null pidu or value.
    unsigned int insertEnvelopedData(const gss_buffer_desc* pidu);
    // application/pkcs7-mime signed-data around the base64 of pidu.
    unsigned int insertSignedData(const gss_buffer_desc* pidu);
    // multipart/signed: content unchanged, then the detached signature.
    unsigned int insertMultipartAndSignedData(digestAlgorithm_t digest, const gss_buffer_desc* content,
                                              const gss_buffer_desc* signature);

    // A malloc copy of the held message; the generator keeps it.
    // 21 when empty, 16 for null, 20 when pidu_buffer is not empty, 15.
    unsigned int getMessage(gss_buffer_desc* pidu_buffer);
    // Writes the held message to the stream and releases it.
    unsigned int getMessage(std::ostream* pidu_stream);
    messageType_t getMessageType();
    // Hands the held message over (release with prov_release_buffer); the
    // generator is empty afterwards. SMIME_GENERATOR_EMPTY for a null buffer,
    // 16 when nothing is held.
    unsigned int getMessageReference(gss_buffer_desc* buffer);
    // Releases the held message; SMIME_GENERATOR_EMPTY when nothing is held.
    unsigned int freeMessage();

private:
    friend class SMIMEMessage;
    // insertMultipartAndSignedData. With over given, the content is over's
    // own bytes: the message is written into over's block (grown to fit, the
    // content moved to its place) and over describes it, instead of the
    // generator holding it; over is as it was on failure.
    unsigned int assembleClearSigned(digestAlgorithm_t digest, const gss_buffer_desc* content,
                                     const gss_buffer_desc* signature, gss_buffer_desc* over);
    unsigned int CreateNativeMessage(const gss_buffer_desc* pidu, int kind, gss_buffer_desc* destination);
    unsigned int getAlgorithm(digestAlgorithm_t digest, char* name);
    unsigned int getRandomTag(char* tag, int size);

    gss_buffer_desc output;
    gss_buffer_desc* outputRef;
    messageType_t messageType;
    sbase64* codec; // owned; null if it could not be allocated
};

// Classifies an S/MIME message and extracts its PKCS#7 object.
class VEK4KIVOSMIME_API smimeParser final : public SMIMEBase {
public:
    smimeParser();
    ~smimeParser();
    // A copy refers to the same message, keeps the scan's result and has a
    // codec of its own.
    smimeParser(const smimeParser& other);
    smimeParser& operator=(const smimeParser& other);

    using SMIMEBase::setMessage;

    // Refers to message (not copied; it must outlive its use) and forgets the
    // previous classification.
    unsigned int setMessage(gss_buffer_desc* message);
    // The kind of the message, scanning its headers once.
    messageType_t getMessageType();
    // The PKCS#7 object (decoded) and, for a clear-signed message, the signed
    // content (its first part as it stands). Both outputs come in empty and
    // are released with free. 0; 20 for an output not empty; 16 when the
    // base64 body cannot be decoded.
    unsigned int getPKCS7Object(gss_buffer_desc* object, gss_buffer_desc* content);

private:
    friend class SMIMEMessage;
    // getPKCS7Object; with copyContent false the signed content is handed
    // out as the bytes where they stand in the message, not copied.
    unsigned int extractPKCS7Object(gss_buffer_desc* object, gss_buffer_desc* content, bool copyContent);

    gss_buffer_desc* message;
    sbase64* codec;
    mimeInfo_T info;
};

// --- The message object --------------------------------------------------

// One message, one login with the security provider, and the outcome of the
// last call. Every member but getStatus and the destructor holds the
// object's lock, so one object may be shared between threads; the destructor
// must not run while another thread uses it. Not copyable: it owns a
// provider login and a lock.
class VEK4KIVOSMIME_API SMIMEMessage {
public:
    SMIMEMessage();
    // Construct and set a message at once; getStatus tells the outcome.
    explicit SMIMEMessage(const gss_buffer_desc* message);
    explicit SMIMEMessage(std::istream* stream);
    explicit SMIMEMessage(const char* fileName);
    ~SMIMEMessage();
    SMIMEMessage(const SMIMEMessage&) = delete;
    SMIMEMessage& operator=(const SMIMEMessage&) = delete;

    // Returns SMIME_INITIALIZED, SMIME_MESSAGE_SET and SMIME_LOGGED_IN as
    // they stand, and delivers the last recorded major and minor status.
    unsigned int getStatus(unsigned int* major_status, unsigned int* minor_status);
    unsigned int freeMessage(unsigned int* minor_status);

    // Message input (a copy is held) and output (a copy is handed out).
    unsigned int setMessage(const gss_buffer_desc* message, unsigned int* minor_status);
    unsigned int setMessage(std::istream* stream, unsigned int* minor_status);
    unsigned int setMessage(const char* fileName, unsigned int* minor_status);
    unsigned int getMessage(gss_buffer_desc* message, unsigned int* minor_status);
    unsigned int getMessage(std::ostream* stream, unsigned int* minor_status);
    unsigned int writeMessageToFile(const char* fileName);
    messageType_t getMessageType();

    // Login form 1: a key store (location and password) and a principal.
    unsigned int login(const char* location, const char* password, const char* principal,
                       unsigned int* credentialInfo, unsigned int* minor_status);
    // Login form 2: a credential container the caller made, and a principal.
    unsigned int login(const gss_buffer_desc* container, const char* principal, unsigned int* credentialInfo,
                       unsigned int* minor_status);
    // Login form 3: a credential the caller acquired.
    unsigned int login(const void* credential, unsigned int* minor_status);
    unsigned int logout(unsigned int* minor_status);

    // Protection: the result replaces the held message and, in the first two
    // forms, is also handed out.
    unsigned int sign(digestAlgorithm_t digest, gss_buffer_desc* output, unsigned int* minor_status);
    unsigned int sign(digestAlgorithm_t digest, std::ostream* output, unsigned int* minor_status);
    unsigned int sign(digestAlgorithm_t digest, unsigned int* minor_status);
    unsigned int signSignatureOnly(digestAlgorithm_t digest, gss_buffer_desc* output, unsigned int* minor_status);
    unsigned int signSignatureOnly(digestAlgorithm_t digest, std::ostream* output, unsigned int* minor_status);
    unsigned int signSignatureOnly(digestAlgorithm_t digest, unsigned int* minor_status);
    unsigned int encrypt(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                         gss_buffer_desc* output, unsigned int* minor_status);
    unsigned int encrypt(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                         std::ostream* output, unsigned int* minor_status);
    unsigned int encrypt(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                         unsigned int* minor_status);

    // Unprotection: the content replaces the held message and, in the first
    // two forms, is also handed out.
    unsigned int verify(gss_buffer_desc* output, IDUP_PIDU_Information_desc* info, unsigned int* minor_status);
    unsigned int verify(std::ostream* output, IDUP_PIDU_Information_desc* info, unsigned int* minor_status);
    unsigned int verify(IDUP_PIDU_Information_desc* info, unsigned int* minor_status);
    unsigned int decrypt(gss_buffer_desc* output, unsigned int* minor_status);
    unsigned int decrypt(std::ostream* output, unsigned int* minor_status);
    unsigned int decrypt(unsigned int* minor_status);

private:
    void init();
    void uninit();
    unsigned int freeMessage();

    unsigned int LoadMessage(std::istream* stream, int sizeHint);
    unsigned int DumpMessageToStream(std::ostream* stream, unsigned int* minor_status);
    unsigned int getMessageToBuffer(gss_buffer_desc* output, unsigned int* minor_status);
    unsigned int getMessageToStream(std::ostream* output, unsigned int* minor_status);

    unsigned int establishCC(const char* location, const char* password, gss_buffer_desc** container,
                             unsigned int* minor_status);
    unsigned int abolishCC(gss_buffer_desc** container, unsigned int* minor_status);
    unsigned int acquireCR(const gss_buffer_desc* container, const char* principal, void** credentialOut,
                           unsigned int* credentialInfoOut, unsigned int* minor_status);
    unsigned int releaseCR(void** credentialHandle, unsigned int* minor_status);
    unsigned int establishEN(const void* credentialHandle, void** environmentOut, unsigned int* minor_status);
    unsigned int abolishEN(void** environmentHandle, unsigned int* minor_status);

    unsigned int processEncap(IDUP_Protect_Operation op, digestAlgorithm_t digest,
                              encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                              gss_buffer_desc* output, std::ostream* stream, unsigned int* minor_status);
    unsigned int signAction(IDUP_Protect_Operation op, digestAlgorithm_t digest, unsigned int* minor_status);
    unsigned int encryptAction(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                               unsigned int* minor_status);
    unsigned int processDecap(IDUP_PIDU_Information_desc* info, gss_buffer_desc* output, std::ostream* stream,
                              unsigned int* minor_status);
    unsigned int verifyAction(IDUP_PIDU_Information_desc* info, gss_buffer_desc* content, messageType_t* type,
                              unsigned int* minor_status);
    unsigned int decryptAction(gss_buffer_desc* content, unsigned int* minor_status);

    messageType_t messageType;
    // Atomic: getStatus reads them without the object's lock, while
    // another thread may be running a call that records its outcome.
    std::atomic<unsigned int> stateFlags;
    std::atomic<unsigned int> majorStatus;
    std::atomic<unsigned int> minorStatus;
    void* environment;
    void* credential;
    gss_buffer_desc* credentialContainer;
    unsigned int credentialInfo;
    gss_buffer_desc message;
    smimeParser* parser;
    smimeGenerator* generator;
    smime_utility* utility;
    VekMutex* mutex;
};

#endif // VEK4KIVOSMIME_H
