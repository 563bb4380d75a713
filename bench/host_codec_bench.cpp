// Where a Devices read spends its CPU outside the bus: the module building the
// map's a{sa{sv}} (once per change: whole, or reusing the unchanged entries), GDBus marshalling the
// Get reply on the module's side (every read: a body in tree form, as the module keeps it, against
// the same value serialised), and GDBus parsing the reply on a host's side (every read, in any
// GDBus client: nuvctl, the devices window, Python). Maps of 1, 10 and 100 devices, each with the
// facts a real probe prints.

#include <benchmark/benchmark.h>
#include <gio/gio.h>

#include <string>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/VariantCodec.h"

namespace {

nuv::Dictionary deviceMap(int devices) {
  nuv::Dictionary map;
  for (int i = 0; i < devices; ++i) {
    const std::string udid = "00008030-" + std::to_string(1000000000000000 + i);
    map[udid] = nuv::Dictionary{{"Bonjour", udid},
                                {"name", "Bench device " + std::to_string(i)},
                                {"Battery", std::to_string(i % 101)},
                                {"Charging", "1"},
                                {"Host Attached", "1"},
                                {"ProductType", "iPhone15,2"},
                                {"ExternalConnected", "1"},
                                {"FullyCharged", "0"},
                                {"Trusted", "1"}};
  }
  return map;
}

nuv::glib::Variant devicesVariant(int devices) {
  return nuv::glib::Variant(
      g_variant_ref_sink(nuv::linux_backend::toVariantOfDictionaries(deviceMap(devices))));
}

// The Get reply as the module sends it, to a host with unique name :1.7.
nuv::glib::Object<GDBusMessage> getReply(GVariant* devices) {
  nuv::glib::Object<GDBusMessage> reply(g_dbus_message_new());
  g_dbus_message_set_message_type(reply.get(), G_DBUS_MESSAGE_TYPE_METHOD_RETURN);
  g_dbus_message_set_reply_serial(reply.get(), 42);
  g_dbus_message_set_destination(reply.get(), ":1.7");
  g_dbus_message_set_serial(reply.get(), 43);
  g_dbus_message_set_body(reply.get(), g_variant_new("(v)", devices));
  return reply;
}

void BM_BuildDevices(benchmark::State& state) {
  const nuv::Dictionary map = deviceMap(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    nuv::glib::Variant v(g_variant_ref_sink(nuv::linux_backend::toVariantOfDictionaries(map)));
    benchmark::DoNotOptimize(v.get());
  }
}
BENCHMARK(BM_BuildDevices)->Arg(1)->Arg(100);

// The same map after a run changed one device, built with the entries of the
// map before it, as the host service builds each new map.
void BM_BuildDevicesOneChanged(benchmark::State& state) {
  nuv::Dictionary map = deviceMap(static_cast<int>(state.range(0)));
  nuv::linux_backend::EncodedEntries previous;
  g_variant_unref(g_variant_ref_sink(nuv::linux_backend::toVariantOfDictionaries(map, previous)));
  nuv::Dictionary& first = *map.begin()->second.get<nuv::Dictionary>();
  int battery = 0;
  for (auto _ : state) {
    first["Battery"] = std::to_string(++battery % 101);
    nuv::glib::Variant v(
        g_variant_ref_sink(nuv::linux_backend::toVariantOfDictionaries(map, previous)));
    benchmark::DoNotOptimize(v.get());
  }
}
BENCHMARK(BM_BuildDevicesOneChanged)->Arg(1)->Arg(100);

// Marshalling the reply. state.range(1): 0 = the value in tree form (built by
// GVariantBuilder), 1 = the same value serialised (g_variant_get_normal_form).
void BM_MarshalGetReply(benchmark::State& state) {
  nuv::glib::Variant devices = devicesVariant(static_cast<int>(state.range(0)));
  if (state.range(1)) devices.reset(g_variant_get_normal_form(devices.get()));
  auto reply = getReply(devices.get());
  gsize size = 0;
  for (auto _ : state) {
    nuv::glib::String blob(reinterpret_cast<gchar*>(
        g_dbus_message_to_blob(reply.get(), &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr)));
    benchmark::DoNotOptimize(blob.get());
  }
  state.counters["bytes"] = static_cast<double>(size);
  state.SetLabel(state.range(1) ? "serialised" : "tree");
}
BENCHMARK(BM_MarshalGetReply)->Args({1, 0})->Args({10, 0})->Args({100, 0})->Args({100, 1});

void BM_ParseGetReply(benchmark::State& state) {
  nuv::glib::Variant devices = devicesVariant(static_cast<int>(state.range(0)));
  gsize size = 0;
  nuv::glib::String blob(reinterpret_cast<gchar*>(g_dbus_message_to_blob(
      getReply(devices.get()).get(), &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr)));
  for (auto _ : state) {
    nuv::glib::Object<GDBusMessage> parsed(g_dbus_message_new_from_blob(
        reinterpret_cast<guchar*>(blob.get()), size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr));
    if (!parsed) state.SkipWithError("the reply does not parse");
    benchmark::DoNotOptimize(parsed.get());
  }
  state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_ParseGetReply)->Arg(1)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
