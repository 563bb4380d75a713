#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

typedef struct _GError GError;
typedef struct _GOptionContext GOptionContext;

namespace nuvcli {

using Args = std::vector<std::string>;

// The command line of a program or of one of its commands, parsed by GLib's
// option parser so that every command reads its options the same way:
// `--opt=value` and `--opt value`, options before or after the arguments,
// `--` ending the options, `-h`/`--help`. The help text is generated from
// the same declarations that the parser uses.
//
// A command line with subcommands (`nuvctl`, `nuvctl records`) reads only
// the options before the subcommand and hands the rest to the subcommand's
// handler; `help [COMMAND...]` is one of its subcommands.
//
// Usage errors are one line, "PROGRAM CMD: what is wrong", then "Try
// 'PROGRAM CMD --help' for more information.", on the error stream, exit
// status 2.
class CommandLine {
 public:
  using Handler = std::function<int(Args args)>;

  // `invocation`: the program's name and the words that name this command
  // ("nuvctl" for the program itself, "nuvctl records add"). `arguments`:
  // the usage line after the options ("RECORD_NAME"). `summary` comes
  // before the options in the help, `description` after them.
  CommandLine(std::string invocation, std::string arguments, std::string summary,
              std::string description = "");

  CommandLine& flag(const char* name, const char* help, bool* target);
  // An option with a value, which must not be empty unless `mayBeEmpty`.
  CommandLine& text(const char* name, const char* valueName, const char* help,
                    std::optional<std::string>* target, bool mayBeEmpty = false);
  // An option with a whole number of at least `min`.
  CommandLine& number(const char* name, const char* valueName, const char* help, long min,
                      std::optional<long>* target);
  // An option that does something else instead of the command (--version):
  // `act` runs and gives the exit status.
  CommandLine& action(const char* name, const char* help, std::function<int()> act);
  // How many arguments a command without subcommands takes (default none).
  CommandLine& arguments(std::size_t min, std::size_t max);
  CommandLine& subcommand(const char* name, const char* help, Handler handler);

  // Parses `args`, the words after the command. Gives the exit status when
  // the parse already ended the command (help, an action, a usage error);
  // otherwise none, and `args` holds the arguments.
  std::optional<int> parse(Args& args) const;
  // Parses `args` and runs the subcommand they name with the words after it.
  int run(Args args) const;

  // Reports a usage error found after parsing; gives 2.
  int usageError(const std::string& message) const;
  std::string help() const;

  // Where help and errors go; the standard streams unless a test says so.
  void setStreams(std::FILE* out, std::FILE* err) {
    out_ = out;
    err_ = err;
  }

 private:
  enum class Kind { Flag, Text, Number, Action };
  struct Option {
    Kind kind = Kind::Flag;
    std::string name = {};  // "--json"
    std::string valueName = {};
    std::string help = {};
    bool* flag = nullptr;
    std::optional<std::string>* text = nullptr;
    std::optional<long>* number = nullptr;
    long min = 0;
    bool mayBeEmpty = false;
    std::function<int()> act = {};
  };
  struct Subcommand {
    std::string name;
    std::string help;
    Handler handler;
  };
  struct Parse;

  static int onOption(const char* name, const char* value, void* data, GError** error);
  CommandLine& add(Option option);
  // A new parser for these options, reporting to `state` (may be null when
  // only the help is wanted). The caller frees it.
  GOptionContext* newContext(Parse* state) const;
  std::string program() const;  // the first word of the invocation
  int printHelp() const;

  std::string invocation_;
  std::string arguments_;
  std::string summary_;
  std::string description_;
  std::vector<Option> options_;
  std::vector<Subcommand> subcommands_;
  std::size_t minArguments_ = 0;
  std::size_t maxArguments_ = 0;
  std::FILE* out_ = stdout;
  std::FILE* err_ = stderr;
};

}  // namespace nuvcli
