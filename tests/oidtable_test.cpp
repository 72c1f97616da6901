// The OID table's answers, checked against OpenSSL's encoding of the dotted forms.
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include "vek4kivooidtable.h"

namespace {

std::vector<unsigned char> contentsOctets(const char* dotted) {
    const std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(dotted, 1), ASN1_OBJECT_free);
    if (object == nullptr) return {};
    const unsigned char* data = OBJ_get0_data(object.get());
    return std::vector<unsigned char>(data, data + OBJ_length(object.get()));
}

TEST(KIVOGetOID, AnswersEveryIndexTheLibraryUsesAndNullForOthers) {
    const std::pair<int, const char*> cases[] = {{1, "1.2.840.113554.1.2.1.1"}, {7, "1.2.840.113549.1.7"},
        {22, "1.2.840.113549.1.7.2"}, {24, "1.2.840.113549.1.7.3"}, {28, "1.2.840.113549.1.7.1"},
        {30, "1.2.840.113549.1.9.16"}, {-1, nullptr}, {0, nullptr}, {2, nullptr}, {6, nullptr}, {8, nullptr},
        {21, nullptr}, {23, nullptr}, {25, nullptr}, {29, nullptr}, {31, nullptr}, {1000, nullptr}};
    for (const auto& [index, dotted] : cases) {
        SCOPED_TRACE(index);
        const gss_OID oid = KIVOGetOID(index);
        ASSERT_EQ(oid == nullptr, dotted == nullptr);
        if (oid == nullptr) continue;
        const auto* bytes = static_cast<const unsigned char*>(oid->elements);
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + oid->length), contentsOctets(dotted));
        EXPECT_EQ(KIVOGetOID(index), oid) << "the same descriptor every time";
    }
}

} // namespace
