// The host service's bus backend on a private dbus-daemon: reads that race
// changes of the map, one PropertiesChanged per announcement and in order,
// the handlers on the loop and never after the end, the object found from the
// root, and a bus that goes away or was never there.

#include <gio/gio.h>
#include <time.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/LibdbusHostService.h"
#include "platform/linux/bus/VariantCodec.h"
#include "platform/linux/runtime/GlibRunLoop.h"

namespace nuv::linux_backend {
namespace {

using ::testing::HasSubstr;

constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

std::string printed(GVariant* value) {
  glib::String text(g_variant_print(value, TRUE));
  return text.get();
}

Dictionary mapNumber(int i) {
  return Dictionary{
      {"dev" + std::to_string(i % 3),
       Dictionary{{"Bonjour", "dev" + std::to_string(i % 3)}, {"Battery", std::to_string(i)}}}};
}

class LibdbusHostServiceTest : public ::testing::Test {
 protected:
  LibdbusHostServiceTest() {
    log::setSink([this](log::Level, std::string_view line) {
      std::lock_guard lock(logMutex);
      logLines.emplace_back(line);
    });
    g_test_dbus_up(bus.get());
    client = connect();
  }
  ~LibdbusHostServiceTest() override {
    g_test_dbus_down(bus.get());
    log::setSink(nullptr);
  }

  std::string address() { return g_test_dbus_get_bus_address(bus.get()); }

  glib::Object<GDBusConnection> connect() {
    return glib::Object<GDBusConnection>(g_dbus_connection_new_for_address_sync(
        address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
  }

  // The reply body, or null with the error's D-Bus name in `*errorName`.
  static glib::Variant call(GDBusConnection* c, const char* dest, const char* path,
                            const char* interface, const char* method, GVariant* args,
                            std::string* errorName = nullptr) {
    GError* raw = nullptr;
    glib::Variant reply(g_dbus_connection_call_sync(c, dest, path, interface, method, args, nullptr,
                                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &raw));
    glib::Error error(raw);
    if (error && errorName) {
      glib::String name(g_dbus_error_get_remote_error(error.get()));
      *errorName = name ? name.get() : error->message;
    }
    return reply;
  }

  std::string owner() {
    glib::Variant reply =
        call(client.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "GetNameOwner", g_variant_new("(s)", bus::kHostServiceName));
    if (!reply) return "";
    const char* name = nullptr;
    g_variant_get(reply.get(), "(&s)", &name);
    return name;
  }

  // Serves the loop until `done` or `seconds`; whether `done`.
  bool waitFor(const std::function<bool()>& done, double seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      while (g_main_context_iteration(loop.context(), FALSE)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }

  bool logged(const std::string& text) {
    std::lock_guard lock(logMutex);
    for (const auto& line : logLines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  glib::Object<GTestDBus> bus{g_test_dbus_new(G_TEST_DBUS_NONE)};
  GlibRunLoop loop;
  glib::Object<GDBusConnection> client;
  std::mutex logMutex;
  std::vector<std::string> logLines;
};

TEST_F(LibdbusHostServiceTest, ReadsRacingChangesGetOnlyMapsThatWereSetAndEveryChangeIsSignalled) {
  LibdbusHostService service(loop, address(), "1.2.3");
  Subscription published = service.publish({});
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));

  std::vector<std::string> signalled;
  const guint subscription = g_dbus_connection_signal_subscribe(
      client.get(), bus::kHostServiceName, kProperties, "PropertiesChanged", bus::kHostServicePath,
      nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* body,
         gpointer data) {
        glib::Variant changed(g_variant_get_child_value(body, 1));
        glib::Variant devices(g_variant_lookup_value(changed.get(), "Devices", nullptr));
        static_cast<std::vector<std::string>*>(data)->push_back(printed(devices.get()));
      },
      &signalled, nullptr);

  // Every message numbered apart, the signals included.
  struct Serials {
    std::mutex mutex;
    std::vector<guint32> values;
  } signalSerials;
  const guint filter = g_dbus_connection_add_filter(
      client.get(),
      [](GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data) {
        if (incoming && g_strcmp0(g_dbus_message_get_member(message), "PropertiesChanged") == 0) {
          auto* serials = static_cast<Serials*>(data);
          std::lock_guard lock(serials->mutex);
          serials->values.push_back(g_dbus_message_get_serial(message));
        }
        return message;
      },
      &signalSerials, nullptr);

  // A host on its own connection reads Devices and GetAll as fast as it can,
  // keeping each value and each reply's serial.
  std::atomic<bool> stop = false;
  std::vector<std::string> read;
  std::vector<guint32> serials;
  std::thread host([&] {
    auto c = connect();
    while (!stop) {
      for (const char* member : {"Get", "GetAll"}) {
        glib::Object<GDBusMessage> message(g_dbus_message_new_method_call(
            bus::kHostServiceName, bus::kHostServicePath, kProperties, member));
        g_dbus_message_set_body(message.get(),
                                g_str_equal(member, "Get")
                                    ? g_variant_new("(ss)", bus::kHostServiceInterface, "Devices")
                                    : g_variant_new("(s)", bus::kHostServiceInterface));
        glib::Object<GDBusMessage> reply(g_dbus_connection_send_message_with_reply_sync(
            c.get(), message.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, 5000, nullptr, nullptr,
            nullptr));
        ASSERT_TRUE(reply);
        ASSERT_EQ(g_dbus_message_get_message_type(reply.get()), G_DBUS_MESSAGE_TYPE_METHOD_RETURN);
        serials.push_back(g_dbus_message_get_serial(reply.get()));
        GVariant* body = g_dbus_message_get_body(reply.get());
        glib::Variant value(g_variant_get_child_value(body, 0));
        glib::Variant devices(g_str_equal(member, "Get")
                                  ? g_variant_get_variant(value.get())
                                  : g_variant_lookup_value(value.get(), "Devices", nullptr));
        read.push_back(printed(devices.get()));
      }
    }
  });

  std::set<std::string> maps = {"@a{sa{sv}} {}"};
  std::vector<std::string> announced;
  for (int i = 1; i <= 60; ++i) {
    service.setDevices(mapNumber(i));
    glib::Variant expected(g_variant_ref_sink(toVariantOfDictionaries(mapNumber(i))));
    maps.insert(printed(expected.get()));
    announced.push_back(printed(expected.get()));
    service.announceDevices();
    if (i % 10 == 0) {
      ASSERT_TRUE(waitFor([&] { return signalled.size() == size_t(i); }));
    }
  }
  stop = true;
  host.join();
  g_dbus_connection_signal_unsubscribe(client.get(), subscription);
  g_dbus_connection_remove_filter(client.get(), filter);
  {
    std::lock_guard lock(signalSerials.mutex);
    serials.insert(serials.end(), signalSerials.values.begin(), signalSerials.values.end());
  }

  EXPECT_EQ(signalled, announced);
  ASSERT_GT(read.size(), 20u);
  for (const auto& value : read) EXPECT_TRUE(maps.count(value)) << value;
  EXPECT_EQ(read.back(), announced.back());
  EXPECT_EQ(std::set<guint32>(serials.begin(), serials.end()).size(), serials.size());

  glib::Variant version =
      call(client.get(), bus::kHostServiceName, bus::kHostServicePath, kProperties, "Get",
           g_variant_new("(ss)", bus::kHostServiceInterface, "Version"));
  ASSERT_TRUE(version);
  EXPECT_EQ(printed(version.get()), "(<'1.2.3'>,)");
}

TEST_F(LibdbusHostServiceTest, HandlersRunOnTheLoopUntilTheEndAndTheNameIsQueuedFor) {
  // Another process holds the name first.
  auto squatter = connect();
  glib::Variant held =
      call(squatter.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
           "RequestName", g_variant_new("(su)", bus::kHostServiceName, 0u));
  ASSERT_TRUE(held);
  const std::thread::id loopThread = std::this_thread::get_id();
  int refreshes = 0, losses = 0;
  bool offLoop = false;
  LibdbusHostService service(loop, address(), "1");
  Subscription published = service.publish({[&] {
                                              offLoop |= std::this_thread::get_id() != loopThread;
                                              ++refreshes;
                                            },
                                            [&] { ++losses; }});
  ASSERT_TRUE(waitFor([&] { return losses == 1; }));

  // Reachable under its unique name while it waits in the queue.
  glib::Variant queue =
      call(client.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
           "ListQueuedOwners", g_variant_new("(s)", bus::kHostServiceName));
  ASSERT_TRUE(queue);
  glib::Variant owners(g_variant_get_child_value(queue.get(), 0));
  ASSERT_EQ(g_variant_n_children(owners.get()), 2u);
  const char* unique = nullptr;
  g_variant_get_child(owners.get(), 1, "&s", &unique);
  const std::string self = unique;
  ASSERT_TRUE(call(client.get(), self.c_str(), bus::kHostServicePath, bus::kHostServiceInterface,
                   "Refresh", nullptr));
  EXPECT_TRUE(waitFor([&] { return refreshes == 1; }));
  EXPECT_FALSE(offLoop);

  // Wrong calls get the standard errors and start nothing.
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
    EXPECT_FALSE(call(client.get(), self.c_str(), bus::kHostServicePath, c.interface, c.method,
                      c.args, &error));
    EXPECT_EQ(error, c.error) << c.method;
  }

  // The name comes when the other lets go; no second loss is reported.
  g_dbus_connection_close_sync(squatter.get(), nullptr, nullptr);
  ASSERT_TRUE(waitFor([&] { return owner() == self; }));
  EXPECT_EQ(losses, 1);

  // A refresh answered just before the end never reaches the handler, and
  // the end releases the name.
  ASSERT_TRUE(call(client.get(), self.c_str(), bus::kHostServicePath, bus::kHostServiceInterface,
                   "Refresh", nullptr));
  published.reset();
  EXPECT_TRUE(waitFor([&] { return owner().empty(); }));
  waitFor([] { return false; }, 0.1);
  EXPECT_EQ(refreshes, 1);
}

TEST_F(LibdbusHostServiceTest, TheObjectIsFoundFromTheRootWithTheInstalledInterface) {
  LibdbusHostService service(loop, address(), "1");
  Subscription published = service.publish({});
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));
  std::string path = "/";
  for (const char* child : {"vemo", "Tallyport", "NUVModule"}) {
    glib::Variant xml = call(client.get(), bus::kHostServiceName, path.c_str(),
                             "org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
    ASSERT_TRUE(xml) << path;
    const char* text = nullptr;
    g_variant_get(xml.get(), "(&s)", &text);
    EXPECT_THAT(text, HasSubstr(std::string("<node name=\"") + child + "\"/>")) << path;
    path += (path == "/" ? "" : "/") + std::string(child);
  }
  glib::Variant xml = call(client.get(), bus::kHostServiceName, bus::kHostServicePath,
                           "org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
  ASSERT_TRUE(xml);
  const char* text = nullptr;
  g_variant_get(xml.get(), "(&s)", &text);
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(text, nullptr);
  ASSERT_TRUE(node) << text;
  GDBusInterfaceInfo* info = g_dbus_node_info_lookup_interface(node, bus::kHostServiceInterface);
  EXPECT_TRUE(info && g_dbus_interface_info_lookup_property(info, "Devices"));
  EXPECT_TRUE(g_dbus_node_info_lookup_interface(node, kProperties));
  g_dbus_node_info_unref(node);
  EXPECT_TRUE(call(client.get(), bus::kHostServiceName, bus::kHostServicePath,
                   "org.freedesktop.DBus.Peer", "Ping", nullptr));
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

TEST_F(LibdbusHostServiceTest, ABusThatGoesAwayOrWasNeverThereLeavesAnIdleThreadThatEndsAtOnce) {
  LibdbusHostService service(loop, address(), "1");
  Subscription published = service.publish({});
  ASSERT_TRUE(waitFor([&] { return !owner().empty(); }));
  client.reset();
  g_test_dbus_stop(bus.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double before = processCpuSeconds();
  service.setDevices(mapNumber(1));
  service.announceDevices();  // dropped: there is no bus to send it on
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(processCpuSeconds() - before, 0.05);  // no thread spins on a dead socket
  auto started = std::chrono::steady_clock::now();
  published.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));

  LibdbusHostService nowhere(loop, "unix:path=/nonexistent/bus", "1");
  published = nowhere.publish({});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!logged("cannot reach the session bus") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(logged("cannot reach the session bus"));
  started = std::chrono::steady_clock::now();
  published.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

}  // namespace
}  // namespace nuv::linux_backend
