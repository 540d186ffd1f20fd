// The Windows executable signed the way a release signs it (scripts/sign-exe.sh), with a throwaway
// certificate made on the spot: the signature verifies, removing it gives back the unsigned bytes,
// and the signed program still shows its box and updates under Wine.
#include <gtest/gtest.h>

#include <ctime>

#include "process.h"

namespace fs = std::filesystem;
using e2e::read_file;

namespace {

const std::string updater = QM_WINDOWS_UPDATER;

// Wine sees the Unix file system as drive Z:.
std::string windows_form(const fs::path& path) {
    std::string form = "Z:" + path.string();
    for (char& c : form) c = c == '/' ? '\\' : c;
    return form;
}

struct SignedExecutable : ::testing::Test {
    e2e::Scratch scratch;
    fs::path cert = scratch.path / "cert.pem";
    fs::path key = scratch.path / "key.pem";
    // One signing time for every signature in a test, as a release takes the commit's.
    std::string signing_time = std::to_string(std::time(nullptr));

    void SetUp() override {
        const e2e::Finished made =
            tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-sha256", "-days", "2", "-nodes",
                  "-subj", "/CN=Quillmoor Updater test", "-addext", "keyUsage=critical,digitalSignature",
                  "-addext", "extendedKeyUsage=codeSigning", "-keyout", key.string(), "-out", cert.string()});
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

TEST_F(SignedExecutable, StillShowsItsBoxAndUpdatesUnderWine) {
    const std::string exe = sign("quillmoor-updater.exe").string();
    const fs::path log = scratch.path / "probe.log";
    const std::vector<std::string> environment{
        "WINEPREFIX=" QM_WINEPREFIX, "WINEDEBUG=-all",
        "WINEDLLOVERRIDES=mscoree,mshtml=", "QM_PROBE_LOG=" + log.string()};

    // A missing file: the box, read back from the screen and dismissed.
    const e2e::Started missing = e2e::start({QM_WINE, exe, "Tool.exe~"}, scratch.path, environment);
    const fs::path record = scratch.path / "box.txt";
    const e2e::Finished reader =
        e2e::run({QM_WINE, QM_WINDOWS_BOXREADER, windows_form(record), "30000"}, scratch.path, environment);
    ASSERT_EQ(reader.status, 0) << "no box appeared";
    EXPECT_EQ(read_file(record),
              "caption=Quillmoor Updater\nbuttons=ok\nowner=none\ntext=File Tool.exe~ does not exist.");
    EXPECT_EQ(e2e::wait(missing).status, 0);

    // A real update: the new copy replaces the old one and is the one started.
    e2e::place_probe(QM_WINDOWS_PROBE, scratch.path / "Tool.exe", "v1");
    e2e::place_probe(QM_WINDOWS_PROBE, scratch.path / "Tool.exe~", "v2");
    const std::string v2 = read_file(scratch.path / "Tool.exe~");
    EXPECT_EQ(e2e::run({QM_WINE, exe, "Tool.exe~"}, scratch.path, environment).status, 0);
    EXPECT_EQ(read_file(scratch.path / "Tool.exe"), v2);
    EXPECT_FALSE(fs::exists(scratch.path / "Tool.exe~"));
    EXPECT_EQ(e2e::await_lines(log, 1), "tag=v2 args=0 cwd=" + windows_form(scratch.path) + "\n");
}
