#include "cli/CommandLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace nuvcli {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A parse's result and what it printed on the two streams.
struct Printed {
  std::optional<int> status;
  std::string out, err;
};

Printed capture(CommandLine& line, const std::function<std::optional<int>()>& parse) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  line.setStreams(out, err);
  Printed printed{parse(), {}, {}};
  for (auto [file, text] : {std::pair(out, &printed.out), std::pair(err, &printed.err)}) {
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text->push_back(static_cast<char>(c));
    std::fclose(file);
  }
  return printed;
}

std::string usageError(const std::string& invocation, const std::string& message) {
  return invocation + ": " + message + "\nTry '" + invocation + " --help' for more information.\n";
}

// A command with one option of each kind and an optional argument.
struct Values {
  bool json = false;
  std::optional<std::string> name;
  std::optional<long> count;
  std::optional<std::string> title;
  bool operator==(const Values&) const = default;
};

CommandLine leaf(Values& v) {
  CommandLine line("nuvctl records add", "[ARG]", "Adds.", "Exit status: 0.");
  line.flag("json", "JSON", &v.json)
      .text("name", "NAME", "The name", &v.name)
      .text("title", "TITLE", "The title", &v.title, /*mayBeEmpty=*/true)
      .number("count", "N", "How many", 1, &v.count)
      .action("version", "The version", [] { return 7; })
      .arguments(0, 1);
  return line;
}

TEST(CommandLine, OptionFormsTheirErrorsAndTheHelp) {
  struct Case {
    Args args;
    std::optional<int> status;
    Values values;  // after a successful parse
    Args rest;
    std::string err;  // the whole error stream
  };
  auto values = [](bool json, std::optional<std::string> name, std::optional<long> count,
                   std::optional<std::string> title = std::nullopt) {
    return Values{json, std::move(name), count, std::move(title)};
  };
  auto bad = [](Args args, const std::string& message) {
    return Case{std::move(args), 2, {}, {}, usageError("nuvctl records add", message)};
  };
  auto help = [](Args args) { return Case{std::move(args), 0, {}, {}, ""}; };
  const std::string count = "--count needs a whole number of at least 1, not ";
  const std::vector<Case> cases = {
      {{}, std::nullopt, values(false, {}, {}), {}, ""},
      {{"--json"}, std::nullopt, values(true, {}, {}), {}, ""},
      {{"--count=3"}, std::nullopt, values(false, {}, 3), {}, ""},
      {{"--count", "3"}, std::nullopt, values(false, {}, 3), {}, ""},
      {{"--name", "My Phone"}, std::nullopt, values(false, "My Phone", {}), {}, ""},
      {{"--name=a=b"}, std::nullopt, values(false, "a=b", {}), {}, ""},
      {{"--name", "x", "--name=y"}, std::nullopt, values(false, "y", {}), {}, ""},
      // UTF-8 names whatever the locale (here C); other bytes are refused.
      {{"--name=Zoë"}, std::nullopt, values(false, "Zoë", {}), {}, ""},
      bad({"--name=Zo\xeb"}, "--name needs UTF-8 text"),
      // Options after the argument, and "--" ending the options.
      {{"arg", "--json"}, std::nullopt, values(true, {}, {}), {"arg"}, ""},
      {{"--", "--json"}, std::nullopt, values(false, {}, {}), {"--json"}, ""},
      bad({"--count=0"}, count + "'0'"),
      bad({"--count=3x"}, count + "'3x'"),
      bad({"--count=99999999999999999999"}, count + "'99999999999999999999'"),
      bad({"--count"}, "Missing argument for --count"),
      bad({"--name="}, "--name needs a value"),
      {{"--title="}, std::nullopt, values(false, {}, {}, ""), {}, ""},
      bad({"--bogus"}, "Unknown option --bogus"),
      bad({"a", "b"}, "unexpected argument 'b'"),
      {{"--version"}, 7, {}, {}, ""},
      bad({"--version", "--bogus"}, "Unknown option --bogus"),  // an error beats an action
      // The help wins over everything else.
      help({"-h"}),
      help({"--help"}),
      help({"a", "b", "--help"}),
      help({"--version", "--help"}),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Values v;
    CommandLine line = leaf(v);
    Args args = c.args;
    const Printed printed = capture(line, [&] { return line.parse(args); });
    EXPECT_EQ(printed.status, c.status);
    EXPECT_EQ(printed.err, c.err);
    if (c.status == 0) {  // the help, generated from the declarations
      EXPECT_THAT(printed.out,
                  StartsWith("Usage:\n  nuvctl records add [OPTION…] [ARG]\n\nAdds.\n"));
      for (const char* part : {"-h, --help", "--json", "--name=NAME", "--count=N", "--version",
                               "\nExit status: 0.\n"}) {
        EXPECT_THAT(printed.out, HasSubstr(part));
      }
    } else {
      EXPECT_EQ(printed.out, "");
    }
    if (c.status) continue;
    EXPECT_EQ(v, c.values);
    EXPECT_EQ(args, c.rest);
  }
}

// A program with subcommands, named as any program is.
struct Parent {
  std::optional<std::string> place;
  std::vector<Args> calls;  // what "list" was handed
  CommandLine line{"nuv-bridge", "COMMAND", "Records.", ""};

  Parent() {
    line.text("place", "P", "Where", &place)
        .subcommand("list", "lists them",
                    [this](const Args& args) {
                      calls.push_back(args);
                      return 5;
                    })
        .subcommand("remove", "removes one", [](const Args&) { return 6; });
  }
};

TEST(CommandLine, SubcommandsTakeTheWordsAfterThemAndTheHelpListsThem) {
  struct Case {
    Args args;
    int status;
    std::optional<std::string> place;
    std::vector<Args> calls;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"list"}, 5, {}, {{}}, ""},
      // Options after the subcommand are the subcommand's, even ones the
      // parent knows.
      {{"list", "--json", "x", "--place=q"}, 5, {}, {{"--json", "x", "--place=q"}}, ""},
      {{"--place", "p", "list", "--", "-y"}, 5, "p", {{"--", "-y"}}, ""},
      {{"--", "list"}, 5, {}, {{}}, ""},
      {{"remove", "a"}, 6, {}, {}, ""},
      {{"help", "list"}, 5, {}, {{"--help"}}, ""},
      {{}, 2, {}, {}, usageError("nuv-bridge", "missing command")},
      {{"frob"}, 2, {}, {}, usageError("nuv-bridge", "unknown command 'frob'")},
      {{"--json", "list"}, 2, {}, {}, usageError("nuv-bridge", "Unknown option --json")},
      {{"help"}, 0, {}, {}, ""},
      {{"--help"}, 0, {}, {}, ""},
      {{"-h", "list"}, 0, {}, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Parent parent;
    const Printed printed = capture(parent.line, [&] { return parent.line.run(c.args); });
    EXPECT_EQ(printed.status, c.status);
    EXPECT_EQ(parent.place, c.place);
    EXPECT_EQ(parent.calls, c.calls);
    EXPECT_EQ(printed.err, c.err);
    if (c.status != 0) {
      EXPECT_EQ(printed.out, "");
      continue;
    }
    // The help lists the subcommands aligned.
    EXPECT_THAT(printed.out, StartsWith("Usage:\n  nuv-bridge [OPTION…] COMMAND\n\nRecords.\n\n"
                                        "Commands:\n"
                                        "  list     lists them\n"
                                        "  remove   removes one\n"
                                        "  help     show this help; 'help COMMAND' shows the help "
                                        "of a command\n\n"));
    EXPECT_THAT(printed.out, HasSubstr("--place=P"));
  }
}

}  // namespace
}  // namespace nuvcli
