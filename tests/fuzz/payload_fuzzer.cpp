// Notification bodies and the host service's Devices value come from any peer
// on the session bus. Decoding must never crash, and whatever decodes must
// survive a round trip.

#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "app/DeviceStatusMap.h"
#include "platform/linux/bus/VariantCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GBytes* bytes = g_bytes_new(data, size);
  GVariant* body =
      g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE("(ssa{sv})"), bytes, FALSE));
  GVariant* devices =
      g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE("a{sa{sv}}"), bytes, FALSE));
  g_bytes_unref(bytes);
  GVariant* info = g_variant_get_child_value(body, 2);
  std::string error;
  if (auto dict = nuv::linux_backend::dictionaryFromVariant(info, &error)) {
    const auto map = nuv::deviceStatusMapFromDictionary(*dict);
    GVariant* again = g_variant_ref_sink(nuv::linux_backend::toVariant(nuv::toDictionary(map)));
    auto back = nuv::linux_backend::dictionaryFromVariant(again, &error);
    if (!back) __builtin_trap();
    if (nuv::deviceStatusMapFromDictionary(*back) != map) __builtin_trap();
    g_variant_unref(again);
  }
  if (auto dict = nuv::linux_backend::dictionaryOfDictionariesFromVariant(devices, &error)) {
    GVariant* again = g_variant_ref_sink(nuv::linux_backend::toVariantOfDictionaries(*dict));
    auto back = nuv::linux_backend::dictionaryOfDictionariesFromVariant(again, &error);
    if (!back || *back != *dict) __builtin_trap();
    g_variant_unref(again);
  }
  g_variant_unref(devices);
  g_variant_unref(info);
  g_variant_unref(body);
  return 0;
}
