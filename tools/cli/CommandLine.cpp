#include "CommandLine.h"

#include <glib.h>
#include <glib/gi18n.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Utf8.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvcli {

using nuv::linux_backend::LocaleText;

// What one parse found besides the values it stored.
struct CommandLine::Parse {
  const CommandLine* line;
  bool help = false;
  const Option* action = nullptr;  // the first one given
};

CommandLine::CommandLine(std::string invocation, std::string arguments, std::string summary,
                         std::string description)
    : invocation_(std::move(invocation)),
      arguments_(std::move(arguments)),
      summary_(std::move(summary)),
      description_(std::move(description)) {}

CommandLine& CommandLine::add(Option option) {
  options_.push_back(std::move(option));
  return *this;
}

CommandLine& CommandLine::flag(const char* name, const char* help, bool* target) {
  return add({.kind = Kind::Flag, .name = std::string("--") + name, .help = help, .flag = target});
}

CommandLine& CommandLine::text(const char* name, const char* valueName, const char* help,
                               std::optional<std::string>* target, bool mayBeEmpty) {
  return add({.kind = Kind::Text,
              .name = std::string("--") + name,
              .valueName = valueName,
              .help = help,
              .text = target,
              .mayBeEmpty = mayBeEmpty});
}

CommandLine& CommandLine::number(const char* name, const char* valueName, const char* help,
                                 long min, std::optional<long>* target) {
  return add({.kind = Kind::Number,
              .name = std::string("--") + name,
              .valueName = valueName,
              .help = help,
              .number = target,
              .min = min});
}

CommandLine& CommandLine::action(const char* name, const char* help, std::function<int()> act) {
  return add({.kind = Kind::Action,
              .name = std::string("--") + name,
              .help = help,
              .act = std::move(act)});
}

CommandLine& CommandLine::arguments(std::size_t min, std::size_t max) {
  minArguments_ = min;
  maxArguments_ = max;
  return *this;
}

CommandLine& CommandLine::subcommand(const char* name, const char* help, Handler handler) {
  subcommands_.push_back({name, help, std::move(handler)});
  return *this;
}

std::string CommandLine::program() const { return invocation_.substr(0, invocation_.find(' ')); }

int CommandLine::onOption(const char* name, const char* value, void* data, GError** error) {
  auto* state = static_cast<Parse*>(data);
  if (!std::strcmp(name, "-h") || !std::strcmp(name, "--help")) {
    state->help = true;
    return TRUE;
  }
  const auto& options = state->line->options_;
  auto option = std::find_if(options.begin(), options.end(),
                             [name](const Option& o) { return o.name == name; });
  if (option == options.end()) return FALSE;  // GLib knows only ours
  auto bad = [&](const std::string& message) {
    g_set_error_literal(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, message.c_str());
    return FALSE;
  };
  const char* optionName = option->name.c_str();
  switch (option->kind) {
    case Kind::Flag:
      *option->flag = true;
      break;
    case Kind::Action:
      if (!state->action) state->action = &*option;
      break;
    case Kind::Text:
      if (!*value && !option->mayBeEmpty) {
        // TRANSLATORS: %s is the option ("--name").
        return bad(LocaleText::format(_("%s needs a value"), optionName));
      }
      if (!nuv::isValidUtf8(value)) {
        // TRANSLATORS: %s is the option ("--name").
        return bad(LocaleText::format(_("%s needs UTF-8 text"), optionName));
      }
      *option->text = value;
      break;
    case Kind::Number: {
      char* end = nullptr;
      errno = 0;
      const long n = std::strtol(value, &end, 10);
      if (!*value || *end || errno == ERANGE || n < option->min) {
        // TRANSLATORS: the option ("--count"), the smallest number it takes,
        // and what was given.
        return bad(LocaleText::format(_("%s needs a whole number of at least %ld, not '%s'"),
                                      optionName, option->min, value));
      }
      *option->number = n;
      break;
    }
  }
  return TRUE;
}

GOptionContext* CommandLine::newContext(Parse* state) const {
  auto callback = reinterpret_cast<gpointer>(&CommandLine::onOption);
  std::vector<GOptionEntry> entries;
  entries.push_back({"help", 'h', G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK, callback,
                     _("Show this help"), nullptr});
  for (const auto& option : options_) {
    const bool takesValue = option.kind == Kind::Text || option.kind == Kind::Number;
    // Values come as the bytes given ("filename"): GLib would convert them
    // from the locale's character set, and refuse every name that is not
    // ASCII under the C locale. Names are UTF-8 (onOption checks).
    entries.push_back({option.name.c_str() + 2, 0,
                       takesValue ? G_OPTION_FLAG_FILENAME : G_OPTION_FLAG_NO_ARG,
                       G_OPTION_ARG_CALLBACK, callback, option.help.c_str(),
                       takesValue ? option.valueName.c_str() : nullptr});
  }
  entries.push_back({});
  GOptionContext* context = g_option_context_new(arguments_.empty() ? nullptr : arguments_.c_str());
  // -h and --help are ours: GLib's would print and exit inside the parse.
  g_option_context_set_help_enabled(context, FALSE);
  // Options after the subcommand are the subcommand's.
  g_option_context_set_strict_posix(context, !subcommands_.empty());
  GOptionGroup* group = g_option_group_new(program().c_str(), "", "", state, nullptr);
  g_option_group_add_entries(group, entries.data());
  g_option_context_set_main_group(context, group);

  std::string summary = summary_;
  if (!subcommands_.empty()) {
    std::size_t width = 4;  // "help"
    for (const auto& s : subcommands_) width = std::max(width, s.name.size());
    summary += std::string("\n\n") + _("Commands:") + "\n";
    auto line = [&](const std::string& name, const std::string& help) {
      summary += "  " + name + std::string(width - name.size() + 3, ' ') + help + "\n";
    };
    for (const auto& s : subcommands_) line(s.name, s.help);
    line("help", _("show this help; 'help COMMAND' shows the help of a command"));
    summary.pop_back();
  }
  g_option_context_set_summary(context, summary.c_str());
  if (!description_.empty()) g_option_context_set_description(context, description_.c_str());
  return context;
}

std::string CommandLine::help() const {
  nuv::glib::OptionContext context(newContext(nullptr));
  // GLib heads the usage line with the program name: the command's words
  // for as long as the text is made, as gdbus does for its commands.
  const std::string name = g_get_prgname() ? g_get_prgname() : program();
  g_set_prgname(invocation_.c_str());
  nuv::glib::String text(g_option_context_get_help(context.get(), TRUE, nullptr));
  g_set_prgname(name.c_str());
  return text.get();
}

int CommandLine::printHelp() const {
  std::fputs(help().c_str(), out_);
  return std::fflush(out_) == 0 ? 0 : 1;
}

int CommandLine::usageError(const std::string& message) const {
  std::fprintf(err_, "%s: %s\n", invocation_.c_str(), message.c_str());
  // TRANSLATORS: %s is the command ("nuvctl records add").
  std::fprintf(err_, _("Try '%s --help' for more information.\n"), invocation_.c_str());
  return 2;
}

std::optional<int> CommandLine::parse(Args& args) const {
  Parse state{this};
  nuv::glib::OptionContext context(newContext(&state));
  // GLib reorders the pointers and drops the ones it parsed; the strings
  // stay in `words`.
  std::vector<std::string> words = args;
  words.insert(words.begin(), invocation_);
  std::vector<char*> pointers;
  for (auto& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  char** argv = pointers.data();
  GError* raw = nullptr;
  if (!g_option_context_parse(context.get(), &argc, &argv, &raw)) {
    nuv::glib::Error error(raw);
    return usageError(error->message);
  }
  if (state.help) return printHelp();
  if (state.action) return state.action->act();

  args.assign(argv + 1, argv + argc);
  // GLib leaves the "--" that ends the options, except where it stops at the
  // first argument anyway.
  if (subcommands_.empty()) {
    if (auto dashes = std::find(args.begin(), args.end(), "--"); dashes != args.end()) {
      args.erase(dashes);
    }
    if (args.size() < minArguments_) {
      // TRANSLATORS: %s is what the usage line names ("RECORD_NAME").
      return usageError(LocaleText::format(_("missing %s"), arguments_.c_str()));
    }
    if (args.size() > maxArguments_) {
      return usageError(
          LocaleText::format(_("unexpected argument '%s'"), args[maxArguments_].c_str()));
    }
  }
  return std::nullopt;
}

int CommandLine::run(Args args) const {
  if (auto status = parse(args)) return *status;
  if (args.empty()) return usageError(_("missing command"));
  const std::string name = args.front();
  args.erase(args.begin());
  if (name == "help") {
    if (args.empty()) return printHelp();
    args.push_back("--help");
    return run(std::move(args));
  }
  for (const auto& s : subcommands_) {
    if (s.name == name) return s.handler(std::move(args));
  }
  return usageError(LocaleText::format(_("unknown command '%s'"), name.c_str()));
}

}  // namespace nuvcli
