#include "platform/linux/bus/VariantCodec.h"

#include <glib.h>

#include <vector>

#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {
namespace {

// Bus peers are untrusted; deep nesting must not exhaust the stack.
constexpr int kMaxDepth = 32;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::optional<Value> decode(GVariant* v, int depth, std::string* error);

// A dictionary with string keys: a{sv}, or a{sa{sv}} whose values become
// dictionaries. A value's variant box is part of its entry, not a level of
// nesting.
std::optional<Dictionary> decodeEntries(GVariant* v, const char* type, int depth,
                                        std::string* error) {
  if (!g_variant_is_of_type(v, G_VARIANT_TYPE(type))) {
    if (error) *error = std::string("expected ") + type + ", got " + g_variant_get_type_string(v);
    return std::nullopt;
  }
  Dictionary out;
  GVariantIter iter;
  g_variant_iter_init(&iter, v);
  const gchar* key = nullptr;
  GVariant* child = nullptr;
  while (g_variant_iter_next(&iter, "{&s@*}", &key, &child)) {
    glib::Variant owned(child);
    glib::Variant unboxed(g_variant_is_of_type(child, G_VARIANT_TYPE_VARIANT)
                              ? g_variant_get_variant(child)
                              : g_variant_ref(child));
    auto value = decode(unboxed.get(), depth + 1, error);
    if (!value) {
      if (error) *error = "in \"" + std::string(key) + "\": " + *error;
      return std::nullopt;
    }
    out.insert_or_assign(key, std::move(*value));
  }
  return out;
}

std::optional<Dictionary> decodeDict(GVariant* v, int depth, std::string* error) {
  return decodeEntries(v, "a{sv}", depth, error);
}

std::optional<Value> decode(GVariant* v, int depth, std::string* error) {
  if (depth > kMaxDepth) {
    if (error) *error = "nesting too deep";
    return std::nullopt;
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_VARIANT)) {
    glib::Variant inner(g_variant_get_variant(v));
    return decode(inner.get(), depth + 1, error);
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_STRING)) {
    return Value(std::string(g_variant_get_string(v, nullptr)));
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN)) {
    return Value(static_cast<bool>(g_variant_get_boolean(v)));
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_INT64)) {
    return Value(Date::fromMicroseconds(g_variant_get_int64(v)));
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE("a{sv}"))) {
    auto d = decodeDict(v, depth, error);
    if (!d) return std::nullopt;
    return std::optional<Value>(std::in_place, std::move(*d));
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE("av"))) {
    Array out;
    GVariantIter iter;
    g_variant_iter_init(&iter, v);
    GVariant* child = nullptr;
    while ((child = g_variant_iter_next_value(&iter))) {
      glib::Variant owned(child);
      auto value = decode(child, depth + 1, error);
      if (!value) return std::nullopt;
      out.push_back(std::move(*value));
    }
    return std::optional<Value>(std::in_place, std::move(out));
  }
  if (error) *error = std::string("unsupported type ") + g_variant_get_type_string(v);
  return std::nullopt;
}

// GVariant strings must be valid UTF-8 without NUL; anything else would make
// GLib reject the whole message, so it is repaired (U+FFFD) instead.
GVariant* newString(const std::string& s) {
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
    return g_variant_new_string(s.c_str());
  }
  glib::String fixed(g_utf8_make_valid(s.data(), static_cast<gssize>(s.size())));
  return g_variant_new_string(fixed.get());
}

}  // namespace

GVariant* toVariant(const Dictionary& dict) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
  for (const auto& [key, value] : dict) {
    g_variant_builder_add_value(
        &b, g_variant_new_dict_entry(newString(key), g_variant_new_variant(toVariant(value))));
  }
  return g_variant_builder_end(&b);
}

GVariant* toVariantOfDictionaries(const Dictionary& dict) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sa{sv}}"));
  for (const auto& [key, value] : dict) {
    if (const auto* inner = value.get<Dictionary>()) {
      g_variant_builder_add_value(&b, g_variant_new_dict_entry(newString(key), toVariant(*inner)));
    }
  }
  return g_variant_builder_end(&b);
}

GVariant* toVariantOfDictionaries(const Dictionary& dict, EncodedEntries& previous) {
  EncodedEntries current;
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sa{sv}}"));
  for (const auto& [key, value] : dict) {
    const auto* inner = value.get<Dictionary>();
    if (!inner) continue;
    auto reusable = previous.find(key);
    if (reusable == previous.end() || reusable->second.first != *inner) {
      std::shared_ptr<GVariant> encoded(g_variant_ref_sink(toVariant(*inner)), g_variant_unref);
      reusable = previous.insert_or_assign(key, std::pair(*inner, std::move(encoded))).first;
    }
    // The entry takes its own reference; the cache keeps one.
    g_variant_builder_add_value(
        &b, g_variant_new_dict_entry(newString(key), reusable->second.second.get()));
    current.insert(previous.extract(reusable));
  }
  previous = std::move(current);
  return g_variant_builder_end(&b);
}

GVariant* toVariant(const Value& value) {
  return std::visit(Overloaded{
                        [](const std::string& s) { return newString(s); },
                        [](bool b) { return g_variant_new_boolean(b); },
                        [](const Date& d) { return g_variant_new_int64(d.microseconds()); },
                        [](const Dictionary& d) { return toVariant(d); },
                        [](const Array& a) {
                          GVariantBuilder b;
                          g_variant_builder_init(&b, G_VARIANT_TYPE("av"));
                          for (const auto& v : a) g_variant_builder_add(&b, "v", toVariant(v));
                          return g_variant_builder_end(&b);
                        },
                    },
                    value.storage());
}

std::optional<Value> fromVariant(GVariant* variant, std::string* error) {
  if (!variant) {
    if (error) *error = "no value";
    return std::nullopt;
  }
  return decode(variant, 0, error);
}

std::optional<Dictionary> dictionaryFromVariant(GVariant* variant, std::string* error) {
  if (!variant) {
    if (error) *error = "no value";
    return std::nullopt;
  }
  return decodeDict(variant, 0, error);
}

std::optional<Dictionary> dictionaryOfDictionariesFromVariant(GVariant* variant,
                                                              std::string* error) {
  if (!variant) {
    if (error) *error = "no value";
    return std::nullopt;
  }
  return decodeEntries(variant, "a{sa{sv}}", 0, error);
}

namespace {

// (xybb) and (xx) are fixed-size: GVariant lays each element out as these
// structs do on this machine (booleans one byte, padding zero), so a week of
// samples is copied in one go instead of being built element by element.
struct PackedSample {
  gint64 time;
  guint8 level, charging, external, padding[5];
};
struct PackedGap {
  gint64 start, end;
};
struct PackedHealth {
  gint64 time;
  gint32 cycleCount, fullChargeCapacity, designCapacity, maxCapacity;
};
static_assert(sizeof(PackedSample) == 16 && sizeof(PackedGap) == 16 && sizeof(PackedHealth) == 24);

constexpr gint32 kUnknown = -1;

}  // namespace

GVariant* historyToVariant(const DeviceHistory& history) {
  std::vector<PackedSample> samples(history.samples.size(), PackedSample{});
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto& s = history.samples[i];
    samples[i].time = s.time.microseconds();
    samples[i].level = s.level;
    samples[i].charging = s.charging;
    samples[i].external = s.external;
  }
  std::vector<PackedGap> gaps;
  for (const auto& g : history.gaps) gaps.push_back({g.start.microseconds(), g.end.microseconds()});
  GVariant* children[] = {g_variant_new_fixed_array(G_VARIANT_TYPE("(xybb)"), samples.data(),
                                                    samples.size(), sizeof(PackedSample)),
                          g_variant_new_fixed_array(G_VARIANT_TYPE("(xx)"), gaps.data(),
                                                    gaps.size(), sizeof(PackedGap))};
  return g_variant_new_tuple(children, 2);
}

std::optional<DeviceHistory> historyFromVariant(GVariant* variant) {
  if (!variant || !g_variant_is_of_type(variant, G_VARIANT_TYPE("(a(xybb)a(xx))"))) {
    return std::nullopt;
  }
  DeviceHistory history;
  glib::Variant samples(g_variant_get_child_value(variant, 0));
  glib::Variant gaps(g_variant_get_child_value(variant, 1));
  gsize count = 0;
  const auto* s = static_cast<const PackedSample*>(
      g_variant_get_fixed_array(samples.get(), &count, sizeof(PackedSample)));
  for (gsize i = 0; i < count; ++i) {
    history.samples.push_back(
        {Date::fromMicroseconds(s[i].time), s[i].level, s[i].charging != 0, s[i].external != 0});
  }
  const auto* g = static_cast<const PackedGap*>(
      g_variant_get_fixed_array(gaps.get(), &count, sizeof(PackedGap)));
  for (gsize i = 0; i < count; ++i) {
    history.gaps.push_back({Date::fromMicroseconds(g[i].start), Date::fromMicroseconds(g[i].end)});
  }
  return history;
}

GVariant* historyDevicesToVariant(const std::vector<HistoryDevice>& devices) {
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("a(ss)"));
  for (const auto& d : devices) {
    g_variant_builder_add(&list, "(ss)", d.device.c_str(), d.name.c_str());
  }
  return g_variant_new("(a(ss))", &list);
}

std::optional<std::vector<HistoryDevice>> historyDevicesFromVariant(GVariant* variant) {
  if (!variant || !g_variant_is_of_type(variant, G_VARIANT_TYPE("(a(ss))"))) return std::nullopt;
  std::vector<HistoryDevice> devices;
  glib::Variant list(g_variant_get_child_value(variant, 0));
  GVariantIter iter;
  g_variant_iter_init(&iter, list.get());
  const char* device = nullptr;
  const char* name = nullptr;
  while (g_variant_iter_next(&iter, "(&s&s)", &device, &name)) devices.push_back({device, name});
  return devices;
}

GVariant* healthHistoryToVariant(const std::vector<HealthReading>& rows) {
  std::vector<PackedHealth> packed;
  packed.reserve(rows.size());
  for (const auto& r : rows) {
    packed.push_back({r.time.microseconds(), r.cycleCount.value_or(kUnknown),
                      r.fullChargeCapacity.value_or(kUnknown), r.designCapacity.value_or(kUnknown),
                      r.maxCapacity.value_or(kUnknown)});
  }
  GVariant* list = g_variant_new_fixed_array(G_VARIANT_TYPE("(xiiii)"), packed.data(),
                                             packed.size(), sizeof(PackedHealth));
  return g_variant_new_tuple(&list, 1);
}

std::optional<std::vector<HealthReading>> healthHistoryFromVariant(GVariant* variant) {
  if (!variant || !g_variant_is_of_type(variant, G_VARIANT_TYPE("(a(xiiii))"))) {
    return std::nullopt;
  }
  glib::Variant list(g_variant_get_child_value(variant, 0));
  gsize count = 0;
  const auto* r = static_cast<const PackedHealth*>(
      g_variant_get_fixed_array(list.get(), &count, sizeof(PackedHealth)));
  auto known = [](gint32 v) { return v < 0 ? std::nullopt : std::optional<std::int32_t>(v); };
  std::vector<HealthReading> rows;
  rows.reserve(count);
  for (gsize i = 0; i < count; ++i) {
    rows.push_back({Date::fromMicroseconds(r[i].time), known(r[i].cycleCount),
                    known(r[i].fullChargeCapacity), known(r[i].designCapacity),
                    known(r[i].maxCapacity)});
  }
  return rows;
}

}  // namespace nuv::linux_backend
