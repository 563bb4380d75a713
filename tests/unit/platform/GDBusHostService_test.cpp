// The host service on a private dbus-daemon. The client's calls are made
// asynchronously while the test serves the loop, since the service answers
// on the loop's context.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "platform/BusNames.h"
#include "platform/Log.h"
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

std::string mapText(int i) {
  const std::string key = "dev" + std::to_string(i % 2);
  glib::Variant map(g_variant_ref_sink(toVariantOfDictionaries(
      Dictionary{{key, Dictionary{{"Bonjour", key}, {"Battery", std::to_string(i)}}}})));
  return printed(map.get());
}

Dictionary mapNumber(int i) {
  const std::string key = "dev" + std::to_string(i % 2);
  return Dictionary{{key, Dictionary{{"Bonjour", key}, {"Battery", std::to_string(i)}}}};
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

  // The client's call: the reply body, or null with the error's D-Bus name in `*errorName`.
  glib::Variant call(const char* dest, const char* path, const char* interface, const char* method,
                     GVariant* args, std::string* errorName = nullptr) {
    struct Result {
      bool done = false;
      GVariant* reply = nullptr;
      GError* error = nullptr;
    } r;
    g_dbus_connection_call(
        client.get(), dest, path, interface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* r = static_cast<Result*>(data);
          r->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &r->error);
          r->done = true;
        },
        &r);
    waitFor([&] { return r.done; });
    glib::Error error(r.error);
    if (error && errorName)
      *errorName = glib::String(g_dbus_error_get_remote_error(error.get())).get();
    return glib::Variant(r.reply);
  }
  glib::Variant callService(const char* interface, const char* method, GVariant* args = nullptr,
                            std::string* errorName = nullptr) {
    return call(bus::kHostServiceName, bus::kHostServicePath, interface, method, args, errorName);
  }
  std::string get(const char* property) {
    glib::Variant reply = callService(kProperties, "Get",
                                      g_variant_new("(ss)", bus::kHostServiceInterface, property));
    if (!reply) return "(none)";
    glib::Variant value(g_variant_get_child_value(reply.get(), 0));
    return printed(glib::Variant(g_variant_get_variant(value.get())).get());
  }
  std::string owner() {
    glib::Variant reply = call(kDaemon, "/org/freedesktop/DBus", kDaemon, "GetNameOwner",
                               g_variant_new("(s)", bus::kHostServiceName));
    const char* name = "";
    if (reply) g_variant_get(reply.get(), "(&s)", &name);
    return name;
  }

  glib::Object<GTestDBus> bus{g_test_dbus_new(G_TEST_DBUS_NONE)};
  GlibRunLoop loop;
  glib::Object<GDBusConnection> client, module;
};

TEST_F(GDBusHostServiceTest,
       ReadsGetEachMapAtOnceAndOnlyAnnouncedMapsAreSignalledAfterTheirBroadcast) {
  BusNotificationCenter center(module.get());
  GDBusHostService service(module.get(), "1.2.3");
  Subscription published = service.publish({});
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));
  EXPECT_EQ(get("Devices"), "@a{sa{sv}} {}");
  EXPECT_EQ(get("Version"), "'1.2.3'");

  // Every signal the client hears, in order: a broadcast's name, a change's Devices.
  std::vector<std::string> heard, expected;
  const guint subscription = g_dbus_connection_signal_subscribe(
      client.get(), nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
         GVariant* body, gpointer data) {
        auto* heard = static_cast<std::vector<std::string>*>(data);
        glib::Variant first(g_variant_get_child_value(body, 0));
        if (g_str_equal(member, bus::kNotificationMember)) {
          heard->push_back(g_variant_get_string(first.get(), nullptr));
        } else if (g_str_equal(member, "PropertiesChanged")) {
          glib::Variant changed(g_variant_get_child_value(body, 1));
          heard->push_back(printed(first.get()) + " " + printed(changed.get()));
        }
      },
      &heard, nullptr);

  // A set is read at once; only an announced one is signalled, with the map.
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
    expected.push_back(bus::kStackNotification);
    expected.push_back("'" + std::string(bus::kHostServiceInterface) + "' {'Devices': <" +
                       mapText(step.map) + ">}");
  }
  glib::Variant all =
      callService(kProperties, "GetAll", g_variant_new("(s)", bus::kHostServiceInterface));
  ASSERT_TRUE(all);
  glib::Variant props(g_variant_get_child_value(all.get(), 0));
  glib::Variant devices(g_variant_lookup_value(props.get(), "Devices", nullptr));
  EXPECT_EQ(printed(devices.get()), mapText(4));
  EXPECT_EQ(g_variant_n_children(props.get()), 2u);
  // The read's reply left after every signal before it, so all are heard.
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
  ASSERT_TRUE(call(self, bus::kHostServicePath, bus::kHostServiceInterface, "Refresh", nullptr));
  EXPECT_EQ(refreshes, 1);
  const struct {
    const char* interface;
    const char* method;
    GVariant* args;
    const char* error;
  } wrong[] = {
      {bus::kHostServiceInterface, "Refresh", g_variant_new("(s)", "x"),
       "org.freedesktop.DBus.Error.InvalidArgs"},
      {kProperties, "Set",
       g_variant_new("(ssv)", bus::kHostServiceInterface, "Devices", g_variant_new_string("")),
       "org.freedesktop.DBus.Error.PropertyReadOnly"},
      {kProperties, "Get", g_variant_new("(ss)", bus::kHostServiceInterface, "Nope"),
       "org.freedesktop.DBus.Error.InvalidArgs"},
      {kProperties, "GetAll", g_variant_new("(s)", "other.Interface"),
       "org.freedesktop.DBus.Error.InvalidArgs"},
      {bus::kHostServiceInterface, "Explode", nullptr, "org.freedesktop.DBus.Error.UnknownMethod"},
  };
  for (const auto& c : wrong) {
    std::string error;
    EXPECT_FALSE(call(self, bus::kHostServicePath, c.interface, c.method, c.args, &error));
    EXPECT_EQ(error, c.error) << c.method;
  }
  EXPECT_EQ(refreshes, 1);

  // The name comes when the other lets go; no second loss is reported.
  g_dbus_connection_close_sync(squatter.get(), nullptr, nullptr);
  ASSERT_TRUE(waitFor([&] { return owner() == self; }));

  // A call still queued at the end never reaches the handler; the end
  // releases the name.
  g_dbus_connection_call(client.get(), self, bus::kHostServicePath, bus::kHostServiceInterface,
                         "Refresh", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr,
                         nullptr);
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

TEST_F(GDBusHostServiceTest, ExportsTheInstalledInterfaceFoundFromTheRoot) {
  GDBusHostService service(module.get(), "1");
  Subscription published = service.publish({});
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));
  auto interfaceXml = [](const char* document) {
    glib::NodeInfo node(g_dbus_node_info_new_for_xml(document, nullptr));
    GDBusInterfaceInfo* info =
        node ? g_dbus_node_info_lookup_interface(node.get(), bus::kHostServiceInterface) : nullptr;
    if (!info) return std::string("(no interface)");
    GString* out = g_string_new(nullptr);
    g_dbus_interface_info_generate_xml(info, 0, out);
    return std::string(glib::String(g_string_free(out, FALSE)).get());
  };
  gchar* installed = nullptr;
  ASSERT_TRUE(g_file_get_contents(NUV_HOST_SERVICE_XML, &installed, nullptr, nullptr));
  const std::string contract = interfaceXml(glib::String(installed).get());

  std::string path = "/", exported;
  for (const char* child : {"vemo", "Tallyport", "NUVModule", ""}) {
    glib::Variant xml = call(bus::kHostServiceName, path.c_str(),
                             "org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
    ASSERT_TRUE(xml) << path;
    const char* text = nullptr;
    g_variant_get(xml.get(), "(&s)", &text);
    if (!*child)
      exported = interfaceXml(text);
    else
      EXPECT_NE(std::string(text).find(std::string("<node name=\"") + child + "\"/>"),
                std::string::npos)
          << path;
    path += (path == "/" ? "" : "/") + std::string(child);
  }
  EXPECT_NE(contract.find("EmitsChangedSignal"), std::string::npos);
  EXPECT_EQ(exported, contract);
  EXPECT_TRUE(callService("org.freedesktop.DBus.Peer", "Ping"));
}

}  // namespace
}  // namespace nuv::linux_backend
