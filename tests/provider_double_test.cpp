// The test provider is infrastructure for the message object's tests; these
// tests hold it to what those rely on: the record's order and formats, the
// tokens and their round trips, failure plans, and the leak accounting.
#include "provider_double.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vek4kivooidtable.h"

namespace pd = provider_double;

namespace {

// A string buffer as the library makes them: the length counts the NUL.
gss_buffer_desc stringBuffer(const char* text) {
    return {static_cast<OM_uint32>(std::strlen(text) + 1), const_cast<char*>(text)};
}

gss_buffer_desc bytesBuffer(const std::string& bytes) {
    return {static_cast<OM_uint32>(bytes.size()), bytes.empty() ? nullptr : const_cast<char*>(bytes.data())};
}
// The buffer only points at the bytes; a temporary would leave it dangling.
gss_buffer_desc bytesBuffer(std::string&&) = delete;

std::string bytesOf(const gss_buffer_desc& buffer) {
    return buffer.value == nullptr ? std::string() : std::string(static_cast<const char*>(buffer.value), buffer.length);
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += item + " ";
    return text;
}

// Provider objects made the way the library logs in (form 1) and released
// the way it logs out.
struct Login {
    gss_buffer_desc* container = nullptr;
    void* cred = nullptr;
    void* env = nullptr;
    OM_uint32 credentialInfo = 0;

    void establish() {
        OM_uint32 minor = 0;
        gss_buffer_desc location = stringBuffer("keystore.p12");
        gss_buffer_desc password = stringBuffer("secret");
        ASSERT_EQ(kivo_establish_creds(nullptr, &location, &password, KIVOGetOID(KIVO_OID_NAME_TYPE), &minor,
                                       &container),
                  GSS_S_COMPLETE);

        gss_buffer_desc principal = stringBuffer("alice");
        gss_name_t name = nullptr;
        gss_OID_set mechs = nullptr;
        gss_OID_set actual = nullptr;
        gss_buffer_desc* info = nullptr;
        OM_uint32 timeRec = 0;
        // cred_usage comes from malloc and goes back through the provider.
        auto* usage = static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc)));
        usage->length = 4;
        usage->value = std::malloc(4);
        const OM_uint32 usageWord = 120;
        std::memcpy(usage->value, &usageWord, 4);
        ASSERT_EQ(gss_import_name(&minor, &principal, KIVOGetOID(KIVO_OID_NAME_TYPE), &name), GSS_S_COMPLETE);
        ASSERT_EQ(gss_create_empty_oid_set(&minor, &mechs), GSS_S_COMPLETE);
        ASSERT_EQ(gss_add_oid_set_member(&minor, KIVOGetOID(KIVO_OID_MECHANISM), &mechs), GSS_S_COMPLETE);
        ASSERT_EQ(idup_acquire_cred_with_auth(name, container, GSS_C_INDEFINITE, mechs, usage, &minor, &cred, &actual,
                                              &info, &timeRec),
                  GSS_S_COMPLETE);
        std::memcpy(&credentialInfo, info->value, sizeof credentialInfo);
        prov_release_name(&minor, &name);
        prov_free_buffer_desc(&minor, &usage);
        prov_release_oid_set(&minor, &mechs);
        prov_release_oid_set(&minor, &actual);
        prov_free_buffer_desc(&minor, &info);

        gss_OID_set services = nullptr;
        gss_OID_set unsupported = nullptr;
        kivo_env_output_t outputA = nullptr;
        kivo_env_output_t outputB = nullptr;
        ASSERT_EQ(gss_create_empty_oid_set(&minor, &services), GSS_S_COMPLETE);
        ASSERT_EQ(gss_create_empty_oid_set(&minor, &unsupported), GSS_S_COMPLETE);
        for (const int index : {KIVO_OID_SERVICE_SIGNED_DATA, KIVO_OID_SERVICE_ENVELOPED_DATA, KIVO_OID_SERVICE_DATA,
                                KIVO_OID_SERVICE_SMIME})
            ASSERT_EQ(gss_add_oid_set_member(&minor, KIVOGetOID(index), &services), GSS_S_COMPLETE);
        ASSERT_EQ(prov_establish_env(cred, KIVOGetOID(KIVO_OID_MECHANISM), KIVOGetOID(KIVO_OID_MECHANISM), 0, services,
                                     &minor, &env, &outputA, &outputB, &timeRec, unsupported),
                  GSS_S_COMPLETE);
        prov_release_oid_set(&minor, &services);
        prov_release_oid_set(&minor, &unsupported);
        prov_release_env_output(&minor, &outputA);
        prov_release_env_output(&minor, &outputB);
    }

    void release() {
        OM_uint32 minor = 0;
        prov_abolish_env(&env, &minor);
        prov_release_cred(&minor, &cred);
        prov_abolish_creds(&container, &minor);
    }
};

class ProviderDouble : public ::testing::Test {
protected:
    void SetUp() override { pd::reset(); }
    void TearDown() override {
        EXPECT_EQ(pd::outstanding(), 0u) << "not released: " << joined(pd::outstandingObjects());
    }
};

// Logged in, with the record cleared so a test sees only its own calls.
class LoggedInDouble : public ProviderDouble {
protected:
    void SetUp() override {
        ProviderDouble::SetUp();
        login.establish();
        pd::reset();
    }
    void TearDown() override {
        login.release();
        ProviderDouble::TearDown();
    }

    OM_uint32 protect(OM_uint32 operation, OM_uint32 digest, OM_uint32 strength, const std::string& input,
                      gss_buffer_desc* token, gss_buffer_desc* detached, IDUP_Target_Info_desc* targets = nullptr) {
        const IDUP_Protect_Request_desc request{operation, digest, strength, 0};
        gss_buffer_desc in = bytesBuffer(input);
        return prov_protect(login.env, &request, targets, &in, &minor, token, detached);
    }

    void release(gss_buffer_desc* buffer) {
        OM_uint32 scratch = 0;
        prov_release_buffer(&scratch, buffer);
    }

    Login login;
    OM_uint32 minor = 0;
};

struct DescribeCase {
    const char* name;
    gss_buffer_desc buffer;
    const char* expected;
};

TEST(ProviderDoubleDescribe, ShowsLengthAndEscapedBytes) {
    char counted[] = "abc";
    char quoted[] = "\"\\";
    char controls[] = "\n\xff";
    const DescribeCase cases[] = {
        {"empty descriptor", {0, nullptr}, "{0,null}"},
        {"length without bytes", {5, nullptr}, "{5,null}"},
        {"counted NUL", {4, counted}, R"({4,"abc\x00"})"},
        {"quote and backslash", {2, quoted}, R"({2,"\"\\"})"},
        {"line feed and high byte", {2, controls}, R"({2,"\x0a\xff"})"},
    };
    EXPECT_EQ(pd::describeBuffer(nullptr), "null");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pd::describeBuffer(&c.buffer), c.expected);
    }
}

TEST_F(ProviderDouble, FailsOnlyThePlannedOccurrenceAndLeavesItsOutputAlone) {
    pd::failCall("gss_import_name", GSS_S_BAD_NAME, KIVO_R_NO_SUCH_IDENTITY, 2);
    gss_buffer_desc principal = stringBuffer("bob");
    auto* const sentinel = reinterpret_cast<gss_name_t>(&principal);
    gss_name_t names[3] = {sentinel, sentinel, sentinel};
    OM_uint32 minors[3] = {99, 99, 99};
    OM_uint32 majors[3];
    for (int i = 0; i < 3; ++i) majors[i] = gss_import_name(&minors[i], &principal, nullptr, &names[i]);

    EXPECT_EQ(majors[0], GSS_S_COMPLETE);
    EXPECT_EQ(majors[1], GSS_S_BAD_NAME);
    EXPECT_EQ(minors[1], static_cast<OM_uint32>(KIVO_R_NO_SUCH_IDENTITY));
    EXPECT_EQ(names[1], sentinel);
    EXPECT_EQ(majors[2], GSS_S_COMPLETE);
    const auto calls = pd::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].arg("failed"), "yes");
    EXPECT_EQ(calls[1].arg("output_name"), "");
    EXPECT_EQ(calls[2].arg("failed"), "");
    // A failed call takes no id, so later ids do not depend on the plan.
    EXPECT_EQ(calls[2].arg("output_name"), "name#2");
    EXPECT_EQ(pd::outstanding(), 2u);

    OM_uint32 minor = 0;
    prov_release_name(&minor, &names[0]);
    prov_release_name(&minor, &names[2]);
}

TEST_F(ProviderDouble, AFailedReleaseFreesNothing) {
    Login login;
    login.establish();
    pd::failCall("prov_release_cred", GSS_S_FAILURE, KIVO_R_INTERNAL);
    const std::size_t before = pd::outstanding();
    void* cred = login.cred;
    OM_uint32 minor = 0;
    EXPECT_EQ(prov_release_cred(&minor, &cred), GSS_S_FAILURE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_INTERNAL));
    EXPECT_EQ(cred, login.cred);
    EXPECT_EQ(pd::outstanding(), before);
    EXPECT_EQ(pd::calls().back().arg("cred"), "cred#1");
    login.release(); // the plan is used up: this release succeeds
}

TEST_F(ProviderDouble, RefusesHandlesItDidNotHandOut) {
    Login login;
    login.establish();
    gss_buffer_desc foreign{0, nullptr};
    gss_buffer_desc* container = &foreign;
    OM_uint32 minor = 0;
    EXPECT_NE(prov_abolish_creds(&container, &minor), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_HANDLE));
    EXPECT_EQ(pd::calls().back().arg("container"), "container?");

    void* staleCopy = login.cred;
    login.release();
    EXPECT_NE(prov_release_cred(&minor, &staleCopy), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_HANDLE));
}

struct SignatureCase {
    const char* name;
    std::string content;
    const char* signature; // checksums: published FNV-1a 32-bit test vectors
};

TEST_F(LoggedInDouble, DetachedSignatureVerifiesOnlyItsOwnContent) {
    const SignatureCase cases[] = {
        {"empty", "", "signature(digest=0x300,length=0,checksum=811c9dc5)"},
        {"one byte", "a", "signature(digest=0x300,length=1,checksum=e40c292c)"},
        {"word", "foobar", "signature(digest=0x300,length=6,checksum=bf9cf968)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gss_buffer_desc token{0, nullptr};
        gss_buffer_desc detached{0, nullptr};
        ASSERT_EQ(protect(IDUP_Protect_SignatureOnly, KIVO_DIGEST_SHA1, 0, c.content, &token, &detached),
                  GSS_S_COMPLETE);
        EXPECT_EQ(token.value, nullptr);
        EXPECT_EQ(bytesOf(detached), c.signature);

        gss_buffer_desc signedContent = bytesBuffer(c.content);
        gss_buffer_desc content{0, nullptr};
        IDUP_PIDU_Information_desc info{};
        info.verify_flags = KIVO_VERIFY_SIGNATURE;
        ASSERT_EQ(prov_unprotect(login.env, &signedContent, &detached, &minor, &content, &info), GSS_S_COMPLETE);
        EXPECT_EQ(content.value, nullptr);
        EXPECT_EQ(info.digest, KIVO_DIGEST_SHA1);
        release(&info.signer_subject);

        const std::string tampered = c.content + "!";
        gss_buffer_desc tamperedContent = bytesBuffer(tampered);
        IDUP_PIDU_Information_desc untouched{};
        untouched.verify_flags = KIVO_VERIFY_SIGNATURE;
        untouched.reason = 99;
        EXPECT_EQ(prov_unprotect(login.env, &tamperedContent, &detached, &minor, &content, &untouched),
                  GSS_S_BAD_SIG);
        EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_SIGNATURE_INVALID));
        EXPECT_EQ(untouched.reason, 99u);
        EXPECT_EQ(untouched.signer_subject.value, nullptr);
        release(&detached);
    }
}

struct MalformedCase {
    const char* name;
    std::string token;
};

TEST_F(LoggedInDouble, RejectsTokensOfNoKnownKind) {
    const MalformedCase cases[] = {
        {"empty", ""},
        {"plain text", "hello\nworld"},
        {"header without line end", "signed-data(digest=0x400)"},
        {"digest not hex", "signed-data(digest=400)\nx"},
        {"extra field", "signed-data(digest=0x400,x=1)\nx"},
        {"missing recipients", "enveloped-data(strength=256)\nx"},
        {"signature kept opaque", "signature(digest=0x300,length=0,checksum=811c9dc5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gss_buffer_desc token = bytesBuffer(c.token);
        gss_buffer_desc content{0, nullptr};
        EXPECT_EQ(prov_unprotect(login.env, &token, nullptr, &minor, &content, nullptr), GSS_S_DEFECTIVE_TOKEN);
        EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
        EXPECT_EQ(content.value, nullptr);
    }
}

} // namespace
