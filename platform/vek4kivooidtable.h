/* The OID table: fixed object identifiers looked up by index.
 *
 * | index | OID                    | name            | used as                          |
 * |-------|------------------------|-----------------|----------------------------------|
 * | 1     | 1.2.840.113554.1.2.1.1 | GSS user name   | name type of principals and key stores |
 * | 7     | 1.2.840.113549.1.7     | PKCS #7         | the mechanism: CMS                |
 * | 22    | 1.2.840.113549.1.7.2   | id-signedData   | service: signing and verifying    |
 * | 24    | 1.2.840.113549.1.7.3   | id-envelopedData| service: encrypting and decrypting|
 * | 28    | 1.2.840.113549.1.7.1   | id-data         | service: plain content            |
 * | 30    | 1.2.840.113549.1.9.16  | id-smime        | service: S/MIME                   |
 *
 * The returned descriptors are constant and live as long as the library;
 * callers must not change or release them. */
#ifndef VEK4KIVOOIDTABLE_H
#define VEK4KIVOOIDTABLE_H

#include "vek4_export.h"
#include "vek4kivoidup.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KIVO_OID_NAME_TYPE 1
#define KIVO_OID_MECHANISM 7
#define KIVO_OID_SERVICE_SIGNED_DATA 22
#define KIVO_OID_SERVICE_ENVELOPED_DATA 24
#define KIVO_OID_SERVICE_DATA 28
#define KIVO_OID_SERVICE_SMIME 30

/* The OID of an index of the table above; NULL for any other index. */
VEK4KIVOOIDTABLE_API gss_OID KIVOGetOID(int index);

#ifdef __cplusplus
}
#endif

#endif /* VEK4KIVOOIDTABLE_H */
