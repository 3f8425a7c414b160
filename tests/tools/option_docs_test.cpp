// drova's man page and completion scripts against its command line: every
// subcommand, option and argument that drova's own --help lists is in each
// document, in the part that documents its command (or, shared with the app,
// in the part about the options every command takes).
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "cli_support.h"

namespace drova::test {
namespace {

// What a --help text lists: "Options:", "Positionals:" and "Subcommands:"
// sections of lines "  NAME[,NAME] ...", continued by deeper indented lines.
struct HelpNames {
    std::vector<std::string> options, positionals, subcommands;
};

HelpNames help_names(const std::string &help) {
    HelpNames names;
    std::vector<std::string> *section = nullptr;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line == "Options:") section = &names.options;
        else if (line == "Positionals:") section = &names.positionals;
        else if (line == "Subcommands:") section = &names.subcommands;
        else if (line.empty() || line[0] != ' ') section = nullptr;
        else if (section && line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
            std::istringstream first(line.substr(2, line.find(' ', 2) - 2));
            for (std::string name; std::getline(first, name, ',');) section->push_back(name);
        }
    }
    return names;
}

// The text between `begin` and the next `end` after it; empty when `begin` is missing.
std::string between(const std::string &text, const std::string &begin, const std::string &end) {
    const auto from = text.find(begin);
    if (from == std::string::npos) return {};
    const auto to = text.find(end, from + begin.size());
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

std::string roff_name(std::string name) {
    for (std::size_t at = name.find('-'); at != std::string::npos; at = name.find('-', at + 2)) name.insert(at, "\\");
    return name;
}

// A man page entry's name: an option in bold, an argument in italics.
std::string man_entry(const std::string &name) {
    return (name[0] == '-' ? "\\fB" : "\\fI") + roff_name(name) + "\\fR";
}

struct Document {
    const char *format;
    // The part of the document about the options every command takes, and
    // the part about one subcommand.
    std::function<std::string(const std::string &)> global_part;
    std::function<std::string(const std::string &, const std::string &)> command_part;
    std::function<std::string(const std::string &)> spelled;  // a name as the document writes it
    bool lists_positionals;
};

TEST(OptionDocs, EveryCommandOptionAndArgumentIsInEachDocument) {
    const auto as_is = [](const std::string &name) { return name; };
    const std::vector<Document> documents{
        {"man", [](const std::string &doc) { return between(doc, ".SH OPTIONS", ".SH COMMANDS"); },
         [](const std::string &doc, const std::string &command) {
             return between(doc, ".SS \"drova " + roff_name(command) + "\"", "\n.S") +
                    between(doc, ".SS \"drova " + roff_name(command) + " ", "\n.S");
         },
         man_entry, true},
        {"bash", [](const std::string &doc) { return between(doc, "        *) words=\"", "\n"); },
         [](const std::string &doc, const std::string &command) {
             return between(doc, "        " + command + ") words=\"", "\n");
         },
         as_is, false},
        {"zsh", [](const std::string &doc) { return between(doc, "global_options=(", "\n  )"); },
         [](const std::string &doc, const std::string &command) {
             return between(doc, "\n    " + command + ")\n", ";;");
         },
         as_is, true},
    };

    const Result top_help = drova({"--help"});
    ASSERT_EQ(top_help.status, 0);
    const HelpNames top = help_names(top_help.out);
    ASSERT_GT(top.options.size(), 5u) << top_help.out;
    ASSERT_GT(top.subcommands.size(), 5u) << top_help.out;

    for (const Document &document : documents) {
        SCOPED_TRACE(document.format);
        const Result generated = drova({"--generate", document.format});
        ASSERT_EQ(generated.status, 0) << generated.err;
        const std::string &doc = generated.out;
        const std::string global = document.global_part(doc);
        for (const auto &option : top.options)
            EXPECT_NE(global.find(document.spelled(option)), std::string::npos) << option << " in\n" << global;
        for (const auto &subcommand : top.subcommands) {
            const Result help = drova({subcommand, "--help"});
            const HelpNames names = help_names(help.out);
            EXPECT_FALSE(names.options.empty()) << help.out;
            const std::string own_part = document.command_part(doc, subcommand);
            EXPECT_FALSE(own_part.empty()) << subcommand << " is missing";
            // A subcommand's -h,--help is the app's, documented once.
            const std::string part = own_part + global;
            for (const auto &option : names.options)
                EXPECT_NE(part.find(document.spelled(option)), std::string::npos) << subcommand << " " << option
                                                                                   << " in\n" << part;
            if (!document.lists_positionals) continue;
            for (const auto &positional : names.positionals)
                EXPECT_NE(part.find(document.spelled(positional)), std::string::npos)
                    << subcommand << " " << positional << " in\n" << part;
        }
    }
}

// Beyond the options: where devices are looked for, and what else to read.
TEST(OptionDocs, TheManPageEndsWithExitStatusEnvironmentFilesAndSeeAlso) {
    const Result man = drova({"--generate", "man"});
    ASSERT_EQ(man.status, 0) << man.err;
    std::size_t at = 0;
    for (const char *section : {".SH \"EXIT STATUS\"", ".SH \"ENVIRONMENT\"", ".SH \"FILES\"", ".SH \"SEE ALSO\""}) {
        const std::size_t found = man.out.find(section, at);
        ASSERT_NE(found, std::string::npos) << section << " after the sections before it in\n" << man.out;
        at = found;
    }
    EXPECT_NE(man.out.find("VELKOR_USB_DIR"), std::string::npos);
    EXPECT_NE(man.out.find("drova\\-usbd(1)"), std::string::npos);
}

// A command's help names the global options it takes, and leaves the exit
// statuses to drova --help.
TEST(OptionDocs, ACommandsHelpNamesTheGlobalOptionsItTakes) {
    const struct {
        const char *command;
        std::vector<std::string> named, not_named;
    } rows[] = {
        {"erase", {"-S,--serial", "--index", "--path", "-y,--yes", "--sim", "--search-ms"}, {"Exit status:"}},
        {"info", {"-S,--serial", "--path", "--library"}, {"-y,--yes", "Exit status:"}},
        {"list", {"--search-ms", "--library"}, {"--serial", "--path", "-y,--yes", "Exit status:"}},
        {"with-sim", {"--sim", "--sim-program"}, {"--library", "--serial", "Exit status:"}},
    };
    EXPECT_NE(drova({"--help"}).out.find("Exit status:"), std::string::npos);
    for (const auto &row : rows) {
        const Result help = drova({row.command, "--help"});
        ASSERT_EQ(help.status, 0) << help.err;
        const std::size_t footer = help.out.find("Global options it takes");
        ASSERT_NE(footer, std::string::npos) << help.out;
        const std::string globals = help.out.substr(footer);
        for (const std::string &name : row.named) EXPECT_NE(globals.find(name), std::string::npos) << row.command << " " << name;
        for (const std::string &name : row.not_named) EXPECT_EQ(help.out.find(name), std::string::npos) << row.command << " " << name;
    }
}

TEST(OptionDocs, GenerateIsHiddenAndTakesOnlyItsFormats) {
    EXPECT_EQ(drova({"--help"}).out.find("--generate"), std::string::npos);
    const Result unknown = drova({"--generate", "html"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("html not in {man,bash,zsh}"), std::string::npos) << unknown.err;
    EXPECT_EQ(unknown.out, "");
}

}  // namespace
}  // namespace drova::test
