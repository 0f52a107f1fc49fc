// The built halyardctl program, started as a script starts it: what reaches
// its standard output and what its standard error.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

struct Outputs {
    int code;
    std::string out;
    std::string err;
};

// Runs halyardctl in a fresh folder with its own home, standard error kept
// apart, standard input from `input`.
Outputs runHalyardctl(const std::vector<std::string>& args, const std::string& input = "") {
    TempDir dir;
    writeFileBytes(dir.file("in"), std::vector<uint8_t>(input.begin(), input.end()));
    std::vector<std::string> argv{"sh",
                                  "-c",
                                  "d=$1; shift; cd \"$d\" && HOME=\"$d\" XDG_CONFIG_HOME=\"$d\" "
                                  "XDG_STATE_HOME=\"$d\" XDG_RUNTIME_DIR=\"$d\" exec \"$@\" "
                                  "2>\"$d/err\" <\"$d/in\"",
                                  "sh",
                                  dir.path(),
                                  HALYARDCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Outputs r;
    r.code = runProgram(argv, &r.out);
    std::vector<uint8_t> err = readFileBytes(dir.file("err"));
    r.err.assign(err.begin(), err.end());
    return r;
}

// The core writes the reason a password breaks the rules to the process's
// standard output; with --json that line would come before (or instead of)
// the JSON and break every script that parses it.
TEST(HalyardctlProgram, StandardOutputHoldsOnlyItsOwnOutput) {
    Outputs bad =
        runHalyardctl({"--json", "set-key", "--network-password", "Harbour\tNet", "--local"});
    EXPECT_EQ(2, bad.code) << bad.err;
    EXPECT_EQ("", bad.out);
    EXPECT_NE(std::string::npos, bad.err.find("Illegal character in password")) << bad.err;
    EXPECT_NE(std::string::npos, bad.err.find("The encryption key entered is invalid.")) << bad.err;

    Outputs version = runHalyardctl({"version"});
    EXPECT_EQ(0, version.code) << version.err;
    EXPECT_EQ(0u, version.out.rfind("halyardctl ", 0)) << version.out;
    EXPECT_EQ('\n', version.out.back());
    EXPECT_EQ("", version.err);

    Outputs help = runHalyardctl({"--help"});
    EXPECT_EQ(0, help.code);
    EXPECT_NE(std::string::npos, help.out.find("usage: halyardctl")) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("set-key")) << help.out;
}

// "-" as a password file is standard input; without a terminal a password
// left out is an error, never a prompt that waits for ever.
TEST(HalyardctlProgram, PasswordFromStandardInput) {
    Outputs bad = runHalyardctl({"set-key", "--network-password-file", "-", "--local"}, "abc\n");
    EXPECT_EQ(2, bad.code) << bad.err;
    EXPECT_NE(std::string::npos, bad.err.find("The encryption key entered is invalid.")) << bad.err;
    Outputs none = runHalyardctl({"set-key", "--local"});
    EXPECT_EQ(2, none.code) << none.err;
    EXPECT_NE(std::string::npos, none.err.find("or a terminal to ask on")) << none.err;
}

// A firmware file of 4 GiB (sparse: it costs no disk) is refused from its size
// alone, before it is read and before any adapter is looked for: exit code 2
// and a message that names the limit.
TEST(HalyardctlProgram, HugeFirmwareFileIsRefusedFromItsSize) {
    TempDir files;
    const std::string huge = files.file("huge.bin");
    {
        std::FILE* f = std::fopen(huge.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(0, ftruncate(fileno(f), off_t{4} << 30));
        std::fclose(f);
    }
    const std::string small = files.file("small.pib");
    writeFileBytes(small, std::vector<uint8_t>(100, 1));

    Outputs av = runHalyardctl({"upgrade", "--nvm", huge, "--pib", small});
    EXPECT_EQ(2, av.code) << av.err;
    EXPECT_NE(std::string::npos,
              av.err.find("The firmware file is too large: 4294967296 bytes (at most 16777216)"))
        << av.err;
    Outputs pib = runHalyardctl({"upgrade", "--nvm", small, "--pib", huge});
    EXPECT_EQ(2, pib.code) << pib.err;
    Outputs hp10 = runHalyardctl({"upgrade", "--image", huge});
    EXPECT_EQ(2, hp10.code) << hp10.err;
    EXPECT_NE(std::string::npos, hp10.err.find("The image file is too large")) << hp10.err;
}

} // namespace
