// The README's example program runs as documented, and the README shows it as it is.
#include <string>

#include <gtest/gtest.h>

#include "run_command.h"
#include "temp_dir.h"
#include "test_pki.h"

namespace {

TEST(ReadmeExample, RunsAsDocumentedAndExplainsAFailureInWords) {
    const testpki::KeyStoreFiles& files = testpki::keyStoreFiles();
    const struct { const char* password; int status; std::string out; } cases[] = {
        {files.kPassword, 0,
         "login: ok\ncredential: can sign; can decrypt; certificate valid now\nset message: ok\nsign: ok\n"
         "signer: CN=Alice,O=Test PKI\nverify: ok\nencrypt: ok\ndecrypt: ok\n"
         "content: Content-Type: text/plain\r\n\r\nHello, S/MIME.\r\nlogout: ok\n"},
        {"not the password", 1, "login: failed with status 10: wrong password for the key store\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.password);
        const CommandResult run = runCommand({TOUR_PROGRAM, files.aliceP12, c.password, files.bobCertPem});
        EXPECT_EQ(run.status, c.status) << run.err;
        std::string out = run.out;
#if defined(_WIN32)
        // Windows' text-mode output ends each line with CR LF.
        for (std::size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at + 1)) out.erase(at, 1);
#endif
        EXPECT_EQ(out, c.out);
    }
}

TEST(ReadmeExample, TheReadmeShowsTheProgramAsItIs) {
    const std::string readme = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/README.md");
    const std::string program = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/examples/tour.cpp");
    ASSERT_FALSE(program.empty());
    EXPECT_NE(readme.find("```cpp\n" + program + "```\n"), std::string::npos)
        << "README.md must hold examples/tour.cpp verbatim in a cpp block";
}

} // namespace
