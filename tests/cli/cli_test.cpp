// The command line: which texts are commands, and what the built tool prints
// and returns for everything it turns away without contacting the driver.
#include "control/command_forms.h"
#include "tests/support/test_support.h"
#include "tests/support/tool_messages.h"

#include <gtest/gtest.h>

#include <ostream>
#include <poll.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using tamrel_test::RunResult;
using tamrel_test::TempDir;

// ---- Vocabulary -------------------------------------------------------------

struct VocabularyCase {
    const char* text;
    bool known;
};

void PrintTo(const VocabularyCase& c, std::ostream* out)
{
    *out << '"' << c.text << "\" " << (c.known ? "known" : "unknown");
}

class Vocabulary : public testing::TestWithParam<VocabularyCase> {};

TEST_P(Vocabulary, AcceptsExactAndPrefixFormsOnly)
{
    EXPECT_EQ(is_known_command(GetParam().text), GetParam().known);
}

INSTANTIATE_TEST_SUITE_P(ExactForms, Vocabulary, testing::ValuesIn(std::vector<VocabularyCase>{
    {"proximity on", true}, {"proximity off", true}, {"proximity auto", true}, {"status", true}, {"ipd?", true},
    {"backglow off", true}, {"backglow on", true}, {"backglow status", true},
    // nothing before, after or instead
    {"status ", false}, {" status", false}, {"STATUS", false}, {"Status", false}, {"statu", false},
    {"ipd?x", false}, {"ipd? ", false}, {"proximity", false}, {"proximity on ", false}, {"proximity onn", false},
    {"backglow on2", false}, {"backglow", false}, {"backglow status x", false}, {"", false}, {"--help", false}
}));

INSTANTIATE_TEST_SUITE_P(PrefixForms, Vocabulary, testing::ValuesIn(std::vector<VocabularyCase>{
    {"ipd ", true}, {"ipd 63", true}, {"ipd 100", true}, {"ipd abc", true}, {"load_lh_config ", true},
    {"load_lh_config C:\\lh.json", true}, {"backglow fill", true}, {"backglow fill FF8000", true},
    {"backglow fillFF8000", true}, {"backglow set ", true}, {"backglow set 3 00FF00", true},
    {"backglow bri ", true}, {"backglow bri 999", true},
    // the trailing space belongs to the form
    {"ipd", false}, {"ipd63", false}, {"load_lh_config", false}, {"backglow set", false}, {"backglow bri", false},
    {"backglow set3", false}, {"backglow fil", false}, {"IPD 63", false}, {" ipd 63", false}
}));

// ---- Where users meet the forms ------------------------------------------------

// The usage text, each shell's completion and both man pages name every form
// of the table (its trailing space aside) and no other: the lower-case words
// written as a form is there (usage: "ipd <mm>"; completion: 'ipd ' in a list,
// before a comma, a ')' or the next one, so that a form named elsewhere in the
// file does not stand in for one its list lacks; a man page's list: ".It Cm
// ipd Ar mm", "ipd\&?", and "proximity on | off" two).
TEST(FormsShown, EveryFormAndNoOther)
{
    std::set<std::string> forms;
    for (const CommandForm& form : COMMAND_FORMS)
        forms.insert(std::regex_replace(form.text, std::regex(" $"), ""));
    const std::string name = "([a-z_]+(?: [a-z]+)?)(?:\\\\&)?(\\?)?", quoted = "'" + name + " ?'(?=[,)]|\\s+')",
                      listed = "\n\\.It Cm " + name + "(?= Ar|\n)";
    for (auto [file, pattern] : {std::pair{"tests/cli/usage.txt", "\n  \"" + name + "[ \"]"},
             {"completion/tamrel_ctl.bash", quoted}, {"completion/_tamrel_ctl", quoted},
             {"completion/tamrel_ctl.ps1", quoted}, {"doc/tamrel_ctl.1.in", listed},
             {"doc/tamrel_driver_sim.1.in", listed}}) {
        std::string text = tamrel_test::read_file(TAMREL_SOURCE_DIR + std::string(file));
        for (std::regex stem("(\\.It Cm [a-z_]+ )([a-z]+) \\| "); std::regex_search(text, stem);)
            text = std::regex_replace(text, stem, "$1$2\n$1");
        std::set<std::string> named;
        for (std::smatch found; std::regex_search(text, found, std::regex(pattern)); text = found.suffix())
            named.insert(found[1].str() + found[2].str());
        EXPECT_EQ(named, forms) << file;
    }
}

// ---- The built tool ----------------------------------------------------------

std::string usage(const std::string& program_name)
{
    return tamrel_test::usage_text(program_name);
}

// A pipe that listens but is never served: a connection attempt would
// stay queued on it, where the test can see it.
class Rejected : public testing::Test {
protected:
    void SetUp() override
    {
        listener = tamrel_test::listen_at(dir.pipe_path(), SOCK_SEQPACKET, 8);
        ASSERT_GE(listener, 0);
    }
    void TearDown() override { close(listener); }

    RunResult run(const std::vector<std::string>& argv, bool empty_argv = false)
    {
        tamrel_test::RunOptions options;
        options.runtime_dir = dir.path();
        options.program = tamrel_test::tool_path();
        options.empty_argv = empty_argv;
        return tamrel_test::run_process(argv, options);
    }
    bool connection_attempted()
    {
        pollfd entry{listener, POLLIN, 0};
        return poll(&entry, 1, 0) != 0;
    }

    TempDir dir;
    int listener = -1;
};

TEST_F(Rejected, NoCommandPrintsUsageWithProgramName)
{
    for (const std::string& name : {tamrel_test::tool_path(), std::string("custom name %s%n"), std::string()}) {
        RunResult result = run({name});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, usage(name));
    }
    EXPECT_FALSE(connection_attempted());
}

// execve allows an empty argument vector; Linux 5.18 and later turn it into
// one empty argument, older kernels pass argc 0.
TEST_F(Rejected, EmptyArgumentVectorPrintsUsage)
{
    RunResult result = run({}, true);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err == usage("tamrel_ctl") || result.err == usage("")) << result.err;
    EXPECT_FALSE(connection_attempted());
}

struct UnknownCase {
    const char* label;
    std::vector<std::string> args;
};

void PrintTo(const UnknownCase& c, std::ostream* out)
{
    *out << c.label;
}

class UnknownCommand : public Rejected, public testing::WithParamInterface<UnknownCase> {};

TEST_P(UnknownCommand, PrintsErrorAndUsageWithoutConnecting)
{
    std::vector<std::string> argv{"tamrel_ctl"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    RunResult result = run(argv);
    EXPECT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err == tool_messages::unknown_command(GetParam().args[0]) + usage("tamrel_ctl"))
        << result.err.substr(0, 300);
    EXPECT_FALSE(connection_attempted());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UnknownCommand,
    testing::Values(UnknownCase{"empty", {""}}, UnknownCase{"option", {"--help"}},
                    UnknownCase{"split_arguments", {"ipd", "63"}}, UnknownCase{"capitals", {"STATUS"}},
                    UnknownCase{"trailing_space", {"status "}}, UnknownCase{"leading_space", {" status"}},
                    UnknownCase{"set_without_space", {"backglow set"}},
                    UnknownCase{"format_directives", {"%s%n%s%n%p%x%99999999d"}},
                    UnknownCase{"not_ascii", {"\xff\xfe\xc3\xa9tat \x80\x01\x7f"}},
                    UnknownCase{"100_kb", {std::string(100 * 1024, 'A')}},
                    UnknownCase{"100_kb_of_directives", {[] {
                                    std::string text;
                                    while (text.size() < 100 * 1024)
                                        text += "%s%n";
                                    return text;
                                }()}}));

} // namespace
