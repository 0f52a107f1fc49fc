// The manual page and the bash completion against the command line they
// describe: every command and option the parser takes is documented and
// completed, the completion offers nothing the parser refuses, and the page
// formats without warnings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "support/netns.h"

namespace {

// Each command with the options it takes and a value for each option that wants one.
struct CommandShape {
    std::string command;
    std::vector<std::string> positional; // what makes the command line complete
    std::map<std::string, std::string> options;
    // Options that stand instead of one of `options` (a password's file form):
    // each with the option it replaces and its value.
    std::map<std::string, std::pair<std::string, std::string>> alternatives = {};
};

const std::vector<CommandShape>& shapes() {
    static const std::vector<CommandShape> all = {
        {"list", {}, {}},
        {"watch", {}, {{"--interval", "5"}, {"--count", "2"}}},
        {"exporter", {}, {{"--listen", "127.0.0.1:8847"}, {"--interval", "5"}, {"--count", "2"}}},
        {"rename", {"00:B0:52:00:00:11", "Kitchen"}, {}},
        {"password", {"00:B0:52:00:00:11"}, {{"--password-file", "pw.txt"}}},
        {"set-key",
         {"00:B0:52:00:00:11"},
         {{"--network-password", "Harbour Net"}, {"--local", ""}},
         {{"--network-password-file", {"--network-password", "-"}}}},
        {"public", {"00:B0:52:00:00:11"}, {{"--local", ""}}},
        {"add",
         {},
         {{"--password", "ZXCV-BNMA-SDFG-HJKL"}, {"--name", "Garage"}},
         {{"--password-file", {"--password", "pw.txt"}}}},
        {"reset", {"00:B0:52:00:00:11"}, {{"--yes", ""}}},
        {"upgrade", {}, {{"--pib", "a.pib"}, {"--nvm", "a.nvm"}}},
        {"report", {}, {{"-o", "r.txt"}, {"--output", "r.txt"}}},
        {"history",
         {},
         {{"--since", "24h"},
          {"--until", "1h"},
          {"--summary", ""},
          {"--csv", ""},
          {"--from", "00:B0:52:00:00:11"},
          {"--to", "00:B0:52:00:00:12"}}},
        {"map", {}, {{"--dot", ""}}},
        {"help", {}, {}},
        {"version", {}, {}},
    };
    return all;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The page's text with the roff escapes for "-" undone, as a reader sees it.
std::string manText() {
    std::string text = fileText(HALYARDCTL_MAN_PAGE);
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '-') {
            plain += '-';
            ++i;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// What the completion offers for `words` (the last one is being typed).
std::set<std::string> completions(const std::vector<std::string>& words) {
    std::string script = "source '" + std::string(HALYARDCTL_COMPLETION) + "'\nCOMP_WORDS=(";
    for (const std::string& w : words)
        script += "'" + w + "' ";
    script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
              "\nCOMPREPLY=()\n_halyardctl\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    std::string output;
    int status = runProgram({"bash", "--norc", "--noprofile", "-c", script}, &output);
    EXPECT_EQ(0, status) << output;
    std::set<std::string> words_out;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty())
            words_out.insert(line);
    return words_out;
}

// An entry of the COMMANDS section starts with the command's name in bold.
bool hasCommandEntry(const std::string& page, const std::string& command) {
    size_t begin = page.find(".SH COMMANDS");
    size_t end = page.find(".SH", begin + 4);
    if (begin == std::string::npos)
        return false;
    std::string section = page.substr(begin, end - begin);
    for (const char* macro : {"\n.B ", "\n.BI ", "\n.BR ", "\n.BI \""})
        if (section.find(macro + command) != std::string::npos)
            return true;
    return false;
}

bool parses(const std::vector<std::string>& args, std::string& error) {
    halyardctl::Options options;
    error.clear();
    return halyardctl::parseArguments(args, options, error);
}

TEST(HalyardctlDocs, EveryCommandAndOptionIsParsedDocumentedAndCompleted) {
    std::string page = manText();
    ASSERT_FALSE(page.empty()) << HALYARDCTL_MAN_PAGE;
    std::set<std::string> commands;
    for (const CommandShape& s : shapes())
        commands.insert(s.command);
    EXPECT_EQ(commands, completions({"halyardctl", ""}));

    for (const CommandShape& s : shapes()) {
        SCOPED_TRACE(s.command);
        std::vector<std::string> args{s.command};
        for (const auto& [option, value] : s.options) {
            args.push_back(option);
            if (!value.empty())
                args.push_back(value);
        }
        args.insert(args.end(), s.positional.begin(), s.positional.end());
        std::string error;
        EXPECT_TRUE(parses(args, error)) << error;
        EXPECT_TRUE(hasCommandEntry(page, s.command))
            << "the manual page has no entry for " << s.command;

        std::set<std::string> offered = completions({"halyardctl", s.command, "-"});
        for (const auto& [option, value] : s.options) {
            EXPECT_NE(std::string::npos, page.find(option)) << option << " not documented";
            EXPECT_EQ(1u, offered.count(option)) << option << " not completed";
        }
        for (const auto& [option, replaced] : s.alternatives) {
            EXPECT_NE(std::string::npos, page.find(option)) << option << " not documented";
            EXPECT_EQ(1u, offered.count(option)) << option << " not completed";
            std::vector<std::string> instead{s.command};
            for (const auto& [o, v] : s.options) {
                if (o == replaced.first)
                    continue;
                instead.push_back(o);
                if (!v.empty())
                    instead.push_back(v);
            }
            instead.push_back(option);
            instead.push_back(replaced.second);
            instead.insert(instead.end(), s.positional.begin(), s.positional.end());
            EXPECT_TRUE(parses(instead, error)) << option << ": " << error;
            args.push_back(option);
            args.push_back(replaced.second);
            EXPECT_FALSE(parses(args, error)) << option << " taken with " << replaced.first;
            EXPECT_NE(std::string::npos, error.find("not both")) << error;
            args.resize(args.size() - 2);
        }
        for (const std::string& option : offered)
            if (option != "--json" && option != "--interface" && !s.options.count(option) &&
                !s.alternatives.count(option) &&
                !(s.command == "upgrade" && (option == "--image" || option == "--config")))
                ADD_FAILURE() << option << " is completed for " << s.command
                              << " but is not one of its options";
        // The options of the other commands are refused, so the table above
        // is the parser's whole list.
        for (const CommandShape& other : shapes())
            for (const auto& [option, value] : other.options) {
                if (s.options.count(option) || s.alternatives.count(option) ||
                    (s.command == "upgrade" && other.command == "upgrade"))
                    continue;
                std::vector<std::string> withOption = args;
                withOption.push_back(option);
                if (!value.empty())
                    withOption.push_back(value);
                EXPECT_FALSE(parses(withOption, error)) << s.command << " took " << option;
                EXPECT_NE(std::string::npos, error.find("unknown option")) << error;
            }
    }
    for (std::string option : {"--image", "--config"}) {
        EXPECT_NE(std::string::npos, page.find(option));
        EXPECT_EQ(1u, completions({"halyardctl", "upgrade", "--"}).count(option));
    }
    std::string error;
    EXPECT_TRUE(parses({"upgrade", "--image", "a.img", "--config", "a.cfg"}, error)) << error;
    EXPECT_TRUE(parses({"upgrade", "--pib", "a.pib", "--nvm", "a.nvm"}, error)) << error;
    EXPECT_TRUE(parses({"reset", "-y", "00:B0:52:00:00:11"}, error)) << error;
    // The device password of "password" on the command line still works, and
    // not together with its file form.
    EXPECT_TRUE(parses({"password", "00:B0:52:00:00:11", "ZXCV-BNMA-SDFG-HJKL"}, error)) << error;
    EXPECT_FALSE(parses({"password", "--password-file", "-", "00:B0:52:00:00:11", "ZXCV"}, error));
}

TEST(HalyardctlDocs, GlobalOptionsAndTheirValuesAreCompleted) {
    std::string page = manText();
    std::set<std::string> global = completions({"halyardctl", "--"});
    for (std::string option : {"--interface", "--json", "--help", "--version"}) {
        EXPECT_EQ(1u, global.count(option)) << option;
        EXPECT_NE(std::string::npos, page.find(option)) << option;
        std::string error;
        std::vector<std::string> args{option};
        if (option == "--interface")
            args.push_back("eth0");
        if (option == "--interface" || option == "--json")
            args.push_back("list");
        EXPECT_TRUE(parses(args, error)) << option << ": " << error;
    }
    // The command is found after a global option and its value.
    EXPECT_EQ((std::set<std::string>{"set-key"}),
              completions({"halyardctl", "--interface", "eth0", "--json", "se"}));
    EXPECT_EQ((std::set<std::string>{"--yes"}),
              completions({"halyardctl", "-i", "eth0", "reset", "00:B0:52:00:00:11", "--y"}));
    // Values that are passwords, names or numbers get no guesses.
    EXPECT_TRUE(completions({"halyardctl", "set-key", "--network-password", ""}).empty());
    EXPECT_TRUE(completions({"halyardctl", "watch", "--count", ""}).empty());
}

TEST(HalyardctlDocs, EveryExitStatusIsDocumented) {
    std::string page = manText();
    size_t section = page.find(".SH EXIT STATUS");
    ASSERT_NE(std::string::npos, section);
    std::string exits = page.substr(section, page.find(".SH", section + 4) - section);
    for (const char* code : {".B 0\n", ".B 1\n", ".B 2\n", ".B 3\n"})
        EXPECT_NE(std::string::npos, exits.find(code)) << code;
}

TEST(HalyardctlDocs, TheManualPageFormatsWithoutWarnings) {
    if (access("/usr/bin/groff", X_OK) != 0)
        GTEST_SKIP() << "groff is not installed";
    std::string output;
    int status = runProgram({"/usr/bin/groff", "-man", "-ww", "-z", HALYARDCTL_MAN_PAGE}, &output);
    EXPECT_EQ(0, status);
    EXPECT_EQ("", output);
}

} // namespace
