// The host service on a private dbus-daemon. The client calls synchronously
// without serving the loop: property reads, introspection and GDBus's errors
// never need it. Only Refresh reaches the loop, which waitFor() serves. The
// installed interface XML is checked here only: the build feeds it to
// gdbus-codegen, this test compares what the service exports with it.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "platform/BusNames.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/BusNotificationCenter.h"
#include "platform/linux/bus/GDBusHostService.h"
#include "platform/linux/bus/VariantCodec.h"
#include "platform/linux/runtime/GlibRunLoop.h"

namespace nuv::linux_backend {
namespace {

constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kDaemon = "org.freedesktop.DBus";

std::string printed(GVariant* value) { return glib::String(g_variant_print(value, TRUE)).get(); }

Dictionary mapNumber(int i) {
  const std::string key = "dev" + std::to_string(i % 2);
  return Dictionary{{key, Dictionary{{"Bonjour", key}, {"Battery", std::to_string(i)}}}};
}
std::string mapText(int i) {
  return printed(glib::Variant(g_variant_ref_sink(toVariantOfDictionaries(mapNumber(i)))).get());
}

class GDBusHostServiceTest : public ::testing::Test {
 protected:
  GDBusHostServiceTest() {
    g_test_dbus_up(bus.get());
    client = connect();
    module = connect();
  }
  ~GDBusHostServiceTest() override { g_test_dbus_down(bus.get()); }

  glib::Object<GDBusConnection> connect() {
    return glib::Object<GDBusConnection>(g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(bus.get()),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
  }

  // Serves the loop until `done` or `seconds`; whether `done`.
  bool waitFor(const std::function<bool()>& done, double seconds = 5) {
    const gint64 deadline = g_get_monotonic_time() + gint64(seconds * G_USEC_PER_SEC);
    while (!done() && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, FALSE);
    return done();
  }

  // The reply body, or null with the error's D-Bus name in `*errorName`.
  glib::Variant call(const char* interface, const char* method, GVariant* args = nullptr,
                     std::string* errorName = nullptr, const char* dest = bus::kHostServiceName,
                     const char* path = bus::kHostServicePath) {
    GError* raw = nullptr;
    glib::Variant reply(g_dbus_connection_call_sync(client.get(), dest, path, interface, method,
                                                    args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                                                    nullptr, &raw));
    glib::Error error(raw);
    if (error && errorName) *errorName = glib::String(g_dbus_error_get_remote_error(raw)).get();
    return reply;
  }
  std::string get(const char* property) {
    glib::Variant reply =
        call(kProperties, "Get", g_variant_new("(ss)", bus::kHostServiceInterface, property));
    if (!reply) return "(none)";
    glib::Variant value(g_variant_get_child_value(reply.get(), 0));
    return printed(glib::Variant(g_variant_get_variant(value.get())).get());
  }
  std::string owner() {
    glib::Variant reply = call(kDaemon, "GetNameOwner", g_variant_new("(s)", bus::kHostServiceName),
                               nullptr, kDaemon, "/org/freedesktop/DBus");
    const char* name = "";
    if (reply) g_variant_get(reply.get(), "(&s)", &name);
    return name;
  }
  void refresh(const char* dest) {
    g_dbus_connection_call(client.get(), dest, bus::kHostServicePath, bus::kHostServiceInterface,
                           "Refresh", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           nullptr, nullptr);
  }

  glib::Object<GTestDBus> bus{g_test_dbus_new(G_TEST_DBUS_NONE)};
  GlibRunLoop loop;
  glib::Object<GDBusConnection> client, module;
};

TEST_F(GDBusHostServiceTest,
       ExportsTheInstalledXmlReadsEachMapAtOnceAndSignalsOnlyAnnouncedOnesAfterTheBroadcast) {
  BusNotificationCenter center(module.get());
  GDBusHostService service(module.get(), "1.2.3");
  Subscription published = service.publish({});
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));
  EXPECT_EQ(get("Devices"), "@a{sa{sv}} {}");

  // The exported interface is the installed XML's, annotations and all.
  auto interfaceXml = [](const char* document) {
    glib::NodeInfo node(g_dbus_node_info_new_for_xml(document, nullptr));
    auto* info =
        node ? g_dbus_node_info_lookup_interface(node.get(), bus::kHostServiceInterface) : nullptr;
    GString* out = g_string_new(nullptr);
    if (info) g_dbus_interface_info_generate_xml(info, 0, out);
    return std::string(glib::String(g_string_free(out, FALSE)).get());
  };
  gchar* installed = nullptr;
  ASSERT_TRUE(g_file_get_contents(NUV_HOST_SERVICE_XML, &installed, nullptr, nullptr));
  const std::string contract = interfaceXml(glib::String(installed).get());
  glib::Variant exported = call("org.freedesktop.DBus.Introspectable", "Introspect");
  ASSERT_TRUE(exported);
  EXPECT_NE(contract.find("EmitsChangedSignal"), std::string::npos);
  EXPECT_EQ(interfaceXml(g_variant_get_string(
                glib::Variant(g_variant_get_child_value(exported.get(), 0)).get(), nullptr)),
            contract);

  // Every signal the client hears, in order: a broadcast, a change's body.
  std::vector<std::string> heard, expected;
  const guint subscription = g_dbus_connection_signal_subscribe(
      client.get(), nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
         GVariant* body, gpointer data) {
        auto* heard = static_cast<std::vector<std::string>*>(data);
        if (g_str_equal(member, bus::kNotificationMember)) heard->push_back(member);
        if (g_str_equal(member, "PropertiesChanged")) heard->push_back(printed(body));
      },
      &heard, nullptr);

  // A set is read at once; only an announced one is signalled, after its broadcast.
  const struct {
    int map;
    bool announce;
  } steps[] = {{1, true}, {2, false}, {3, false}, {3, true}, {4, true}};
  for (const auto& step : steps) {
    service.setDevices(mapNumber(step.map));
    EXPECT_EQ(get("Devices"), mapText(step.map)) << step.map;
    if (!step.announce) continue;
    center.postNotification({bus::kStackNotification, "", mapNumber(step.map)});
    service.announceDevices();
    expected.push_back(bus::kNotificationMember);
    expected.push_back("('" + std::string(bus::kHostServiceInterface) + "', {'Devices': <" +
                       mapText(step.map) + ">}, @as [])");
  }
  glib::Variant all = call(kProperties, "GetAll", g_variant_new("(s)", bus::kHostServiceInterface));
  ASSERT_TRUE(all);
  EXPECT_EQ(printed(all.get()), "({'Devices': <" + mapText(4) + ">, 'Version': <'1.2.3'>},)");
  // That reply left after every signal, so all have arrived; one more would too.
  waitFor([&] { return heard.size() > expected.size(); }, 0.2);
  EXPECT_EQ(heard, expected);
  g_dbus_connection_signal_unsubscribe(client.get(), subscription);
}

TEST_F(GDBusHostServiceTest, HandlersRunUntilTheEndTheNameIsQueuedForAndWrongCallsGetTheirErrors) {
  auto squatter = connect();  // another process holds the name first
  ASSERT_TRUE(glib::Variant(
      g_dbus_connection_call_sync(squatter.get(), kDaemon, "/org/freedesktop/DBus", kDaemon,
                                  "RequestName", g_variant_new("(su)", bus::kHostServiceName, 0u),
                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr)));
  int refreshes = 0, losses = 0;
  GDBusHostService service(module.get(), "1");
  Subscription published = service.publish({[&] { ++refreshes; }, [&] { ++losses; }});
  ASSERT_TRUE(waitFor([&] { return losses == 1; }));

  // Reachable under its unique name while it waits in the queue.
  const char* self = g_dbus_connection_get_unique_name(module.get());
  refresh(self);
  EXPECT_TRUE(waitFor([&] { return refreshes == 1; }));
  const struct {
    const char* interface;
    const char* method;
    GVariant* args;
    const char* error;
  } wrong[] = {
      {bus::kHostServiceInterface, "Refresh", g_variant_new("(s)", "x"), "InvalidArgs"},
      {kProperties, "Set",
       g_variant_new("(ssv)", bus::kHostServiceInterface, "Devices", g_variant_new_string("")),
       "PropertyReadOnly"},
      {kProperties, "Get", g_variant_new("(ss)", bus::kHostServiceInterface, "Nope"),
       "InvalidArgs"},
      {kProperties, "GetAll", g_variant_new("(s)", "other.Interface"), "InvalidArgs"},
      {bus::kHostServiceInterface, "Explode", nullptr, "UnknownMethod"},
  };
  for (const auto& c : wrong) {
    std::string error;
    EXPECT_FALSE(call(c.interface, c.method, c.args, &error, self));
    EXPECT_EQ(error, std::string("org.freedesktop.DBus.Error.") + c.error) << c.method;
  }

  // The name comes when the other lets go; no second loss is reported.
  g_dbus_connection_close_sync(squatter.get(), nullptr, nullptr);
  ASSERT_TRUE(waitFor([&] { return owner() == self; }));
  // A call still queued at the end never reaches the handler; the end
  // releases the name.
  refresh(self);
  g_dbus_connection_flush_sync(client.get(), nullptr, nullptr);
  published.reset();
  EXPECT_TRUE(waitFor([&] { return owner().empty(); }));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(losses, 1);

  // A bus that goes away is no other process taking the name.
  published = service.publish({nullptr, [&] { ++losses; }});
  ASSERT_TRUE(waitFor([&] { return owner() == self; }));
  g_test_dbus_stop(bus.get());
  ASSERT_TRUE(waitFor([&] { return g_dbus_connection_is_closed(module.get()); }));
  waitFor([] { return false; }, 0.2);
  EXPECT_EQ(losses, 1);
  service.announceDevices();  // a warning, not a crash
}

// GetHealthHistory's rows keep the handler's order, unknown values as -1.
TEST_F(GDBusHostServiceTest, HistoryCallsAreAnsweredWhenTheHandlerRepliesAndFailWhenItNeverWill) {
  std::vector<std::function<void(const DeviceHistory&)>> replies;
  std::vector<std::pair<std::string, std::int64_t>> asked;
  HostService::Handlers handlers;
  handlers.history = [&](const std::string& device, Date since, auto reply) {
    asked.emplace_back(device, since.microseconds());
    replies.push_back(std::move(reply));
  };
  handlers.historyDevices = [](Date since, auto reply) {
    reply({{"abc", std::to_string(since.microseconds())}});
  };
  handlers.healthHistory = [](const std::string& device, Date since, auto reply) {
    if (device != "abc") return reply({});
    reply({{since, 500, std::nullopt, 3279, 107},
           {Date::fromMicroseconds(3), std::nullopt, 2815, std::nullopt, std::nullopt}});
  };
  GDBusHostService service(module.get(), "1");
  Subscription published = service.publish(std::move(handlers));
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));
  // Each answer: the printed reply, or the error's D-Bus name.
  std::vector<std::string> answers;
  auto ask = [&](const char* method, GVariant* args) {
    g_dbus_connection_call(
        client.get(), bus::kHostServiceName, bus::kHostServicePath, bus::kHostServiceInterface,
        method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* connection, GAsyncResult* result, gpointer data) {
          GError* raw = nullptr;
          glib::Variant reply(
              g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &raw));
          glib::Error error(raw);
          static_cast<std::vector<std::string>*>(data)->push_back(
              reply ? printed(reply.get())
                    : glib::String(g_dbus_error_get_remote_error(error.get())).get());
        },
        &answers);
  };
  ask(bus::kGetHistoryMethod, g_variant_new("(sx)", "abc", gint64{42}));
  ASSERT_TRUE(waitFor([&] { return replies.size() == 1; }));
  EXPECT_EQ(asked.back(), (std::pair<std::string, std::int64_t>{"abc", 42}));
  const DeviceHistory history{{{Date::fromMicroseconds(5), 80, true, false}},
                              {{Date::fromMicroseconds(1), Date::fromMicroseconds(3)}}};
  replies[0](history);
  // dropped unanswered, as when the module ends first
  ask(bus::kGetHistoryMethod, g_variant_new("(sx)", "other", gint64{42}));
  ASSERT_TRUE(waitFor([&] { return replies.size() == 2; }));
  replies.clear();
  ASSERT_TRUE(waitFor([&] { return answers.size() == 2; }));
  // Answered at once, in the order asked.
  ask(bus::kGetHistoryDevicesMethod, g_variant_new("(x)", gint64{7}));
  ask(bus::kGetHealthHistoryMethod, g_variant_new("(sx)", "abc", gint64{2}));
  ask(bus::kGetHealthHistoryMethod, g_variant_new("(sx)", "unknown", gint64{2}));
  ASSERT_TRUE(waitFor([&] { return answers.size() == 5; }));
  EXPECT_EQ(answers,
            (std::vector<std::string>{
                printed(glib::Variant(g_variant_ref_sink(historyToVariant(history))).get()),
                "org.freedesktop.DBus.Error.Failed", "([('abc', '7')],)",
                "([(int64 2, 500, -1, 3279, 107), (3, -1, 2815, -1, -1)],)", "(@a(xiiii) [],)"}));
}

}  // namespace
}  // namespace nuv::linux_backend
