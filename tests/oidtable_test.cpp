// The OID table answers the documented OIDs, checked against OpenSSL's own
// encoding of the dotted forms.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include "vek4kivooidtable.h"

namespace {

// The DER contents octets of a dotted OID, as OpenSSL encodes them.
std::vector<unsigned char> contentsOctets(const char* dotted) {
    ASN1_OBJECT* object = OBJ_txt2obj(dotted, 1);
    EXPECT_NE(object, nullptr) << dotted;
    if (object == nullptr) return {};
    const unsigned char* data = OBJ_get0_data(object);
    std::vector<unsigned char> octets(data, data + OBJ_length(object));
    ASN1_OBJECT_free(object);
    return octets;
}

TEST(KIVOGetOID, AnswersEveryIndexTheLibraryUses) {
    struct Case {
        int index;
        const char* dotted;
    };
    const Case cases[] = {
        {1, "1.2.840.113554.1.2.1.1"}, {7, "1.2.840.113549.1.7"},    {22, "1.2.840.113549.1.7.2"},
        {24, "1.2.840.113549.1.7.3"},  {28, "1.2.840.113549.1.7.1"}, {30, "1.2.840.113549.1.9.16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        const gss_OID oid = KIVOGetOID(c.index);
        ASSERT_NE(oid, nullptr);
        const auto* bytes = static_cast<const unsigned char*>(oid->elements);
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + oid->length), contentsOctets(c.dotted));
        EXPECT_EQ(KIVOGetOID(c.index), oid) << "the same descriptor every time";
    }
}

TEST(KIVOGetOID, AnswersNullForOtherIndices) {
    for (int index : {-1, 0, 2, 6, 8, 21, 23, 25, 29, 31, 1000}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(KIVOGetOID(index), nullptr);
    }
}

} // namespace
