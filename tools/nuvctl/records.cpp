#include <glib.h>
#include <glib/gi18n.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Commands.h"
#include "TextTable.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/LocaleText.h"
#include "platform/linux/sqlite/SqliteCloudContainer.h"
#include "platform/linux/sqlite/SqliteCloudStore.h"

namespace nuvctl {
namespace {

using nuv::CloudBool;
using nuv::CloudError;
using nuv::CloudFieldValue;
using nuv::CloudRecordData;
using nuv::Date;
using nuv::linux_backend::LocaleText;
using nuv::linux_backend::SqliteCloudContainer;
using nuv::linux_backend::SqliteCloudStore;

constexpr const char* kDefaultContainer = "iCloud.vemo.voltaline.Voltaline";
constexpr const char* kRecordType = "Todo";

constexpr const char* kRecordsSummary =
    // TRANSLATORS: the record fields ("Battery", "state", "Name") stay as they are.
    N_("The companion app's side of the battery records in the local cloud\n"
       "database that NUVModule writes into. The module keeps the \"Battery\" and\n"
       "\"state\" fields of the record whose \"Name\" equals a device's name up to\n"
       "date; it never creates records, so add one per device here. Safe to use\n"
       "while the module runs.");

constexpr const char* kRecordsDescription =
    N_("The options above may also follow the command. The default database is\n"
       "the container's file under\n"
       "${XDG_DATA_HOME:-~/.local/share}/vemo.Tallyport.NUVModule/cloud/.\n"
       "list and remove never create a database: a container without one is an\n"
       "error. The module notices records added or removed here within seconds.\n"
       "\n"
       "Exit status: 0 on success, 1 when the database is missing or fails or the\n"
       "record is unknown, 2 on a usage error.");

constexpr const char* kListSummary =
    // TRANSLATORS: the record fields stay as they are.
    N_("A table of the records: record name, Name, Battery, state, title, done\n"
       "and modification date (UTC).");
constexpr const char* kAddSummary =
    // TRANSLATORS: "Todo", "Name" and "title" stay as they are.
    N_("Adds a \"Todo\" record whose \"Name\" is NAME (and \"title\" TITLE), and\n"
       "prints its record name. Name it as the device is named.");
constexpr const char* kRemoveSummary = N_("Deletes the record with that record name.");
constexpr const char* kSubcommandDescription =
    N_("Exit status: 0 on success, 1 when the database is missing or fails or the\n"
       "record is unknown, 2 on a usage error.");

// Which database a command works on: --container and --database, taken
// before the command and after it alike.
struct Place {
  std::optional<std::string> container;
  std::optional<std::string> database;

  void addOptions(CommandLine& line) {
    // TRANSLATORS: the values of --container and --database, named in their help.
    line.text("container", _("ID"),
              _("The cloud container (default iCloud.vemo.voltaline.Voltaline)"), &container)
        .text("database", _("PATH"), _("The database file (default: the container's file)"),
              &database);
  }

  std::string path() const {
    return database ? *database
                    : SqliteCloudContainer::databasePath(SqliteCloudContainer::defaultDirectory(),
                                                         container.value_or(kDefaultContainer));
  }
  // The default folder is the module's own, kept private like the module
  // keeps it.
  bool privateFolder() const { return !database; }
};

int failure(const CloudError& error) {
  std::fprintf(stderr, "nuvctl records: %s\n", error.message.c_str());
  return 1;
}

std::string isoDate(const std::optional<Date>& date) {
  return date ? nuv::linux_backend::IsoDate::format(*date) : "";
}

std::string shownDate(const std::optional<Date>& date) {
  return date ? LocaleText::utcTime(*date) : "";
}

// Control characters would break the table (or drive the terminal): shown
// as escapes.
std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string cell(const CloudRecordData& r, const char* key) {
  auto it = r.fields.find(key);
  if (it == r.fields.end()) return "-";
  const CloudFieldValue& v = it->second;
  if (const auto* s = std::get_if<std::string>(&v)) return printable(*s);
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (const auto* b = std::get_if<CloudBool>(&v)) return b->value ? "true" : "false";
  return shownDate(std::get<Date>(v));
}

nlohmann::json jsonValue(const CloudFieldValue& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (const auto* b = std::get_if<CloudBool>(&v)) return b->value;
  return isoDate(std::get<Date>(v));
}

int list(SqliteCloudStore& store, bool json) {
  auto result = store.query(nuv::CloudQuery(kRecordType), nuv::kCloudDefaultZoneName);
  if (auto* e = std::get_if<CloudError>(&result)) return failure(*e);
  const auto& records = std::get<0>(result);
  if (json) {
    auto out = nlohmann::json::array();
    for (const auto& r : records) {
      nlohmann::json fields = nlohmann::json::object();
      for (const auto& [key, value] : r.fields) fields[key] = jsonValue(value);
      out.push_back({{"recordName", r.recordID.recordName},
                     {"recordType", r.recordType},
                     {"created", isoDate(r.creationDate)},
                     {"modified", isoDate(r.modificationDate)},
                     {"modifiedMicroseconds", r.modificationDate->microseconds()},
                     {"changeTag", r.recordChangeTag.value_or("")},
                     {"fields", fields}});
    }
    // Invalid UTF-8 in a field is replaced rather than aborting the listing.
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  // The fields go by their names in the record, which stay as they are.
  TextTable table({{_("RECORD NAME")},
                   {"Name"},
                   {"Battery"},
                   {"state"},
                   {"title"},
                   {"done"},
                   {_("modified (UTC)")}});
  for (const auto& r : records) {
    table.add({printable(r.recordID.recordName), cell(r, "Name"), cell(r, "Battery"),
               cell(r, "state"), cell(r, "title"), cell(r, "done"), shownDate(r.modificationDate)});
  }
  std::fputs(table.text().c_str(), stdout);
  if (records.empty()) std::fputs(_("(no records)\n"), stdout);
  return 0;
}

bool validText(const std::string& s) {
  return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

// Listing or removing never makes a database: a missing one is a typing
// error in the container name (or the module never ran).
bool missingDatabase(const Place& place) {
  const std::string path = place.path();
  if (std::filesystem::exists(path)) return false;
  // TRANSLATORS: the container's name, then the database file.
  std::fprintf(stderr, _("nuvctl records: container %s has no database (%s)\n"),
               printable(place.container.value_or(kDefaultContainer)).c_str(),
               printable(path).c_str());
  return true;
}

int runList(Place place, Args args) {
  bool json = false;
  CommandLine line("nuvctl records list", "", _(kListSummary), _(kSubcommandDescription));
  place.addOptions(line);
  line.flag("json", _("Every field of every record, as JSON"), &json);
  if (auto status = line.parse(args)) return *status;
  if (missingDatabase(place)) return 1;
  SqliteCloudStore store(place.path(), place.privateFolder());
  return list(store, json);
}

int runAdd(Place place, Args args) {
  std::optional<std::string> name, title;
  CommandLine line("nuvctl records add", "", _(kAddSummary), _(kSubcommandDescription));
  place.addOptions(line);
  // TRANSLATORS: the values of --name and --title, named in the summary.
  line.text("name", _("NAME"), _("The device's name (required)"), &name)
      .text("title", _("TITLE"), _("The record's title"), &title, /*mayBeEmpty=*/true);
  if (auto status = line.parse(args)) return *status;
  if (!name) return line.usageError(_("--name is required"));
  if (!validText(*name) || (title && !validText(*title))) {
    return line.usageError(_("names and titles must be UTF-8 text"));
  }
  SqliteCloudStore store(place.path(), place.privateFolder());
  CloudRecordData record;
  record.recordType = kRecordType;
  record.recordID = nuv::CloudRecordID{nuv::CloudRecord::makeRecordName()};
  record.fields["Name"] = *name;
  if (title) record.fields["title"] = *title;
  auto result = store.save(record, nuv::CloudRecordSavePolicy::AllKeys);
  if (auto* e = std::get_if<CloudError>(&result)) return failure(*e);
  std::printf("%s\n", std::get<0>(result).recordID.recordName.c_str());
  return 0;
}

int runRemove(Place place, Args args) {
  // TRANSLATORS: the usage line of nuvctl records remove.
  CommandLine line("nuvctl records remove", _("RECORD_NAME"), _(kRemoveSummary),
                   _(kSubcommandDescription));
  place.addOptions(line);
  line.arguments(1, 1);
  if (auto status = line.parse(args)) return *status;
  const std::string& recordName = args[0];
  if (recordName.empty()) return line.usageError(_("the record name must not be empty"));
  if (missingDatabase(place)) return 1;
  SqliteCloudStore store(place.path(), place.privateFolder());
  if (auto e = store.remove(nuv::CloudRecordID{recordName})) {
    if (e->code == nuv::CloudErrorCode::UnknownItem) {
      std::fprintf(stderr, _("nuvctl records: no record named '%s'\n"),
                   printable(recordName).c_str());
      return 1;
    }
    return failure(*e);
  }
  return 0;
}

}  // namespace

int runRecords(Args args) {
  Place place;
  CommandLine line("nuvctl records", _("COMMAND"), _(kRecordsSummary), _(kRecordsDescription));
  place.addOptions(line);
  // Each command starts from the options given before it.
  line.subcommand("list", _("a table of the records; --json prints every field of every record"),
                  [&place](Args rest) { return runList(place, std::move(rest)); })
      .subcommand("add",
                  _("a new \"Todo\" record with --name (and --title); prints its record name"),
                  [&place](Args rest) { return runAdd(place, std::move(rest)); })
      .subcommand("remove", _("deletes the record with the record name RECORD_NAME"),
                  [&place](Args rest) { return runRemove(place, std::move(rest)); });
  return line.run(std::move(args));
}

}  // namespace nuvctl
