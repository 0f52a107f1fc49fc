// The built halyardctl program, started as a script starts it: what reaches
// its standard output and what its standard error.
#include <gtest/gtest.h>

#include <string>

#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

struct Outputs {
    int code;
    std::string out;
    std::string err;
};

// Runs halyardctl in a fresh folder with its own home, standard error kept apart.
Outputs runHalyardctl(const std::vector<std::string>& args) {
    TempDir dir;
    std::vector<std::string> argv{"sh",
                                  "-c",
                                  "d=$1; shift; cd \"$d\" && HOME=\"$d\" XDG_CONFIG_HOME=\"$d\" "
                                  "XDG_STATE_HOME=\"$d\" XDG_RUNTIME_DIR=\"$d\" exec \"$@\" "
                                  "2>\"$d/err\"",
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

} // namespace
