// The fixed OIDs of the table documented in vek4kivooidtable.h, as DER
// contents octets.
#include "vek4kivooidtable.h"

namespace {

unsigned char kGssUserName[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x01, 0x01};
unsigned char kPkcs7[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
unsigned char kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
unsigned char kEnvelopedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
unsigned char kData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
unsigned char kSmime[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10};

gss_OID_desc kNameType = {sizeof kGssUserName, kGssUserName};
gss_OID_desc kMechanism = {sizeof kPkcs7, kPkcs7};
gss_OID_desc kServiceSignedData = {sizeof kSignedData, kSignedData};
gss_OID_desc kServiceEnvelopedData = {sizeof kEnvelopedData, kEnvelopedData};
gss_OID_desc kServiceData = {sizeof kData, kData};
gss_OID_desc kServiceSmime = {sizeof kSmime, kSmime};

} // namespace

gss_OID KIVOGetOID(int index) {
    switch (index) {
    case KIVO_OID_NAME_TYPE:
        return &kNameType;
    case KIVO_OID_MECHANISM:
        return &kMechanism;
    case KIVO_OID_SERVICE_SIGNED_DATA:
        return &kServiceSignedData;
    case KIVO_OID_SERVICE_ENVELOPED_DATA:
        return &kServiceEnvelopedData;
    case KIVO_OID_SERVICE_DATA:
        return &kServiceData;
    case KIVO_OID_SERVICE_SMIME:
        return &kServiceSmime;
    default:
        return nullptr;
    }
}
