// The Windows executable signed the way a release signs it (scripts/sign-exe.sh), with a throwaway
// certificate made on the spot: the signature verifies, removing it gives back the unsigned bytes,
// and the same key and time sign the same bytes. (That the signed program still works is shown by
// the Windows-hosted suite, run under Wine beside a signed copy.)
#include <gtest/gtest.h>

#include <ctime>

#include "process.h"

namespace fs = std::filesystem;
using e2e::read_file;

namespace {

const std::string updater = QM_WINDOWS_UPDATER;

struct SignedExecutable : ::testing::Test {
    e2e::Scratch scratch;
    fs::path cert = scratch.path / "cert.pem";
    fs::path key = scratch.path / "key.pem";
    // One signing time for every signature in a test, as a release takes the commit's.
    std::string signing_time = std::to_string(std::time(nullptr));

    void SetUp() override {
        const e2e::Finished made = tool({"bash", QM_CERTIFICATE_SCRIPT, scratch.path.string()});
        ASSERT_EQ(made.status, 0) << made.error_output;
    }

    e2e::Finished tool(std::vector<std::string> arguments, const std::vector<std::string>& environment = {}) {
        arguments.insert(arguments.begin(), "/usr/bin/env");
        return e2e::run(arguments, scratch.path, environment);
    }

    fs::path sign(const std::string& name) {
        const fs::path out = scratch.path / name;
        const e2e::Finished signed_ =
            tool({"bash", QM_SIGN_SCRIPT, updater, out.string()},
                 {"QUILLMOOR_SIGN_CERT=" + cert.string(), "QUILLMOOR_SIGN_KEY=" + key.string(),
                  "SOURCE_DATE_EPOCH=" + signing_time});
        EXPECT_EQ(signed_.status, 0) << signed_.error_output;
        return out;
    }
};

}  // namespace

TEST_F(SignedExecutable, VerifiesComesApartIntoTheUnsignedBytesAndSignsTheSameTwice) {
    const fs::path signed_exe = sign("signed.exe");
    ASSERT_NE(read_file(signed_exe), read_file(updater));

    const e2e::Finished verified =
        tool({"osslsigncode", "verify", "-in", signed_exe.string(), "-CAfile", cert.string()});
    EXPECT_EQ(verified.status, 0) << verified.error_output;

    const fs::path unsigned_exe = scratch.path / "unsigned.exe";
    EXPECT_EQ(
        tool({"osslsigncode", "remove-signature", "-in", signed_exe.string(), "-out", unsigned_exe.string()})
            .status,
        0);
    EXPECT_EQ(read_file(unsigned_exe), read_file(updater)) << "signing changed more than the signature";

    // Same RSA key, same signing time: the same bytes, so a signed release stays reproducible.
    EXPECT_EQ(read_file(sign("again.exe")), read_file(signed_exe));
}
