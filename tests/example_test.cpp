// The README's example program: it runs as documented, and the README shows
// it as it is.
#include <string>

#include <gtest/gtest.h>

#include "run_command.h"
#include "temp_dir.h"
#include "test_pki.h"

namespace {

// What the program printed as text: Windows' text-mode output ends each
// line with CR LF, which stands for LF here.
std::string printed(std::string out) {
#if defined(_WIN32)
    for (std::size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at + 1)) out.erase(at, 1);
#endif
    return out;
}

TEST(ReadmeExample, SignsVerifiesEncryptsAndDecrypts) {
    const testpki::KeyStoreFiles& files = testpki::keyStoreFiles();
    const CommandResult run =
        runCommand({TOUR_PROGRAM, files.aliceP12, testpki::KeyStoreFiles::kPassword, files.bobCertPem});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(printed(run.out), "login: ok\n"
                       "credential: can sign; can decrypt; certificate valid now\n"
                       "set message: ok\n"
                       "sign: ok\n"
                       "signer: CN=Alice,O=Test PKI\n"
                       "verify: ok\n"
                       "encrypt: ok\n"
                       "decrypt: ok\n"
                       "content: Content-Type: text/plain\r\n\r\nHello, S/MIME.\r\n"
                       "logout: ok\n");
}

TEST(ReadmeExample, ExplainsAFailureInWords) {
    const testpki::KeyStoreFiles& files = testpki::keyStoreFiles();
    const CommandResult run = runCommand({TOUR_PROGRAM, files.aliceP12, "not the password", files.bobCertPem});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(printed(run.out), "login: failed with status 10: wrong password for the key store\n");
}

TEST(ReadmeExample, TheReadmeShowsTheProgramAsItIs) {
    const std::string readme = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/README.md");
    const std::string program = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/examples/tour.cpp");
    ASSERT_FALSE(program.empty());
    EXPECT_NE(readme.find("```cpp\n" + program + "```\n"), std::string::npos)
        << "README.md must hold examples/tour.cpp verbatim in a cpp block";
}

} // namespace
