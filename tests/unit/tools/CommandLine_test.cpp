#include "CommandLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdlib>
#include <memory>

namespace nuvctl {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// What a parse printed on the two streams.
class Streams {
 public:
  Streams()
      : out_(open_memstream(&outText_, &outSize_)), err_(open_memstream(&errText_, &errSize_)) {}
  ~Streams() {
    close();
    std::free(outText_);
    std::free(errText_);
  }
  void attach(CommandLine& line) { line.setStreams(out_, err_); }
  std::string out() {
    close();
    return outText_ ? std::string(outText_, outSize_) : "";
  }
  std::string err() {
    close();
    return errText_ ? std::string(errText_, errSize_) : "";
  }

 private:
  void close() {
    if (out_) std::fclose(out_);
    if (err_) std::fclose(err_);
    out_ = err_ = nullptr;
  }
  char* outText_ = nullptr;
  char* errText_ = nullptr;
  std::size_t outSize_ = 0;
  std::size_t errSize_ = 0;
  std::FILE* out_;
  std::FILE* err_;
};

std::string usageError(const std::string& command, const std::string& message) {
  return "nuvctl " + command + ": " + message + "\nTry 'nuvctl " + command +
         " --help' for more information.\n";
}

// A command with one option of each kind and an optional argument.
struct Values {
  bool json = false;
  std::optional<std::string> name;
  std::optional<long> count;
  std::optional<std::string> title;
};

CommandLine leaf(Values& v, std::size_t minArguments = 0) {
  CommandLine line("records add", "[ARG]", "Adds.", "Exit status: 0.");
  line.flag("json", "JSON", &v.json)
      .text("name", "NAME", "The name", &v.name)
      .text("title", "TITLE", "The title", &v.title, /*mayBeEmpty=*/true)
      .number("count", "N", "How many", 1, &v.count)
      .action("version", "The version", [] { return 7; })
      .arguments(minArguments, 1);
  return line;
}

TEST(CommandLine, OptionFormsAndTheirErrors) {
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
    return Case{std::move(args), 2, {}, {}, usageError("records add", message)};
  };
  const std::string count = "--count needs a whole number of at least 1, not ";
  const std::vector<Case> cases = {
      {{}, std::nullopt, values(false, {}, {}), {}, ""},
      {{"--json"}, std::nullopt, values(true, {}, {}), {}, ""},
      {{"--count=3"}, std::nullopt, values(false, {}, 3), {}, ""},
      {{"--count", "3"}, std::nullopt, values(false, {}, 3), {}, ""},
      {{"--name", "My Phone"}, std::nullopt, values(false, "My Phone", {}), {}, ""},
      {{"--name=a=b"}, std::nullopt, values(false, "a=b", {}), {}, ""},
      {{"--name", "x", "--name=y"}, std::nullopt, values(false, "y", {}), {}, ""},
      // Options after the argument, and "--" ending the options.
      {{"arg", "--json"}, std::nullopt, values(true, {}, {}), {"arg"}, ""},
      {{"--", "--json"}, std::nullopt, values(false, {}, {}), {"--json"}, ""},
      {{"--count=1", "--", "-1"}, std::nullopt, values(false, {}, 1), {"-1"}, ""},
      bad({"--count=0"}, count + "'0'"),
      bad({"--count", "-2"}, count + "'-2'"),
      bad({"--count=3x"}, count + "'3x'"),
      bad({"--count=99999999999999999999"}, count + "'99999999999999999999'"),
      bad({"--count"}, "Missing argument for --count"),
      bad({"--name="}, "--name needs a value"),
      {{"--title="}, std::nullopt, values(false, {}, {}, ""), {}, ""},
      bad({"--bogus"}, "Unknown option --bogus"),
      bad({"-x"}, "Unknown option -x"),
      bad({"a", "b"}, "unexpected argument 'b'"),
      {{"--version"}, 7, {}, {}, ""},
      bad({"--version", "--bogus"}, "Unknown option --bogus"),  // an error beats an action
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Values v;
    CommandLine line = leaf(v);
    Streams streams;
    streams.attach(line);
    Args args = c.args;
    EXPECT_EQ(line.parse(args), c.status);
    EXPECT_EQ(streams.err(), c.err);
    EXPECT_EQ(streams.out(), "");
    if (c.status) continue;
    EXPECT_EQ(v.json, c.values.json);
    EXPECT_EQ(v.name, c.values.name);
    EXPECT_EQ(v.count, c.values.count);
    EXPECT_EQ(v.title, c.values.title);
    EXPECT_EQ(args, c.rest);
  }
}

TEST(CommandLine, HelpIsGeneratedFromTheDeclarationsAndWinsOverEverythingElse) {
  for (const Args& args :
       {Args{"-h"}, Args{"--help"}, Args{"a", "b", "--help"}, Args{"--version", "--help"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Values v;
    CommandLine line = leaf(v);
    Streams streams;
    streams.attach(line);
    Args rest = args;
    EXPECT_EQ(line.parse(rest), 0);
    const std::string help = streams.out();
    EXPECT_THAT(help, StartsWith("Usage:\n  nuvctl records add [OPTION…] [ARG]\n\nAdds.\n"));
    for (const char* option : {"-h, --help", "--json", "--name=NAME", "--count=N", "--version"}) {
      EXPECT_THAT(help, HasSubstr(option));
    }
    EXPECT_THAT(help, HasSubstr("\nExit status: 0.\n"));
    EXPECT_EQ(streams.err(), "");
  }
}

// A command with subcommands: `nuvctl cloud` or nuvctl itself.
struct Parent {
  std::optional<std::string> place;
  std::vector<Args> calls;  // what "list" was handed
  CommandLine line{"records", "COMMAND", "Records.", ""};

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

TEST(CommandLine, SubcommandsTakeTheWordsAfterThem) {
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
      {{"help", "list", "more"}, 5, {}, {{"more", "--help"}}, ""},
      {{}, 2, {}, {}, usageError("records", "missing command")},
      {{"--place=p"}, 2, "p", {}, usageError("records", "missing command")},
      {{"frob"}, 2, {}, {}, usageError("records", "unknown command 'frob'")},
      {{"help", "frob"}, 2, {}, {}, usageError("records", "unknown command 'frob'")},
      {{"--json", "list"}, 2, {}, {}, usageError("records", "Unknown option --json")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Parent parent;
    Streams streams;
    streams.attach(parent.line);
    EXPECT_EQ(parent.line.run(c.args), c.status);
    EXPECT_EQ(parent.place, c.place);
    EXPECT_EQ(parent.calls, c.calls);
    EXPECT_EQ(streams.err(), c.err);
    EXPECT_EQ(streams.out(), "");
  }
}

TEST(CommandLine, HelpListsTheSubcommandsAligned) {
  for (const Args& args : {Args{"help"}, Args{"--help"}, Args{"-h", "list"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Parent parent;
    Streams streams;
    streams.attach(parent.line);
    EXPECT_EQ(parent.line.run(args), 0);
    EXPECT_TRUE(parent.calls.empty());
    const std::string help = streams.out();
    EXPECT_THAT(help, StartsWith("Usage:\n  nuvctl records [OPTION…] COMMAND\n\nRecords.\n\n"
                                 "Commands:\n"
                                 "  list     lists them\n"
                                 "  remove   removes one\n"
                                 "  help     show this help; 'help COMMAND' shows the help of a "
                                 "command\n\n"));
    EXPECT_THAT(help, HasSubstr("--place=P"));
  }
}

TEST(CommandLine, UsageErrorsAfterTheParseAndForAMissingArgument) {
  Values v;
  CommandLine line = leaf(v);
  Streams streams;
  streams.attach(line);
  EXPECT_EQ(line.usageError("--name is required"), 2);
  EXPECT_EQ(streams.err(), usageError("records add", "--name is required"));
  // A missing argument is named.
  Values needsOne;
  CommandLine withArgument = leaf(needsOne, 1);
  Streams argumentStreams;
  argumentStreams.attach(withArgument);
  Args none;
  EXPECT_EQ(withArgument.parse(none), 2);
  EXPECT_EQ(argumentStreams.err(), usageError("records add", "missing [ARG]"));
  CommandLine top("", "COMMAND", "nuvctl.");
  Streams topStreams;
  topStreams.attach(top);
  EXPECT_EQ(top.run({}), 2);
  EXPECT_EQ(topStreams.err(),
            "nuvctl: missing command\nTry 'nuvctl --help' for more information.\n");
}

}  // namespace
}  // namespace nuvctl
