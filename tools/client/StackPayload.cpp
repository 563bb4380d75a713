#include "StackPayload.h"

#include <glib.h>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuvclient {
namespace {

bool fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return false;
}

bool decodeEntry(const std::string& key, const nuv::Value& value, DeviceEntry& entry,
                 std::string* error) {
  const auto* dict = value.get<nuv::Dictionary>();
  if (!dict) return fail(error, "device \"" + key + "\" is not a dictionary");
  entry.key = key;
  for (const auto& [name, field] : *dict) {
    if (name == "timestamp") {
      const auto* date = field.get<nuv::Date>();
      if (!date) return fail(error, "device \"" + key + "\": \"timestamp\" is not a date");
      entry.timestamp = *date;
      continue;
    }
    const auto* text = field.get<std::string>();
    if (!text) return fail(error, "device \"" + key + "\": \"" + name + "\" is not a string");
    entry.fields.emplace(name, *text);
  }
  return true;
}

}  // namespace

std::optional<StackPayload> StackPayload::fromUserInfo(const nuv::Dictionary& userInfo,
                                                       std::string* error) {
  StackPayload payload;
  payload.devices.reserve(userInfo.size());
  for (const auto& [key, value] : userInfo) {
    DeviceEntry entry;
    if (!decodeEntry(key, value, entry, error)) return std::nullopt;
    payload.devices.push_back(std::move(entry));
  }
  return payload;
}

std::optional<StackPayload> StackPayload::fromSignalBody(GVariant* body, std::string* error) {
  if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(ssa{sv})"))) {
    fail(error, std::string("expected a (ssa{sv}) body, got ") +
                    (body ? g_variant_get_type_string(body) : "none"));
    return std::nullopt;
  }
  nuv::glib::Variant userInfo(g_variant_get_child_value(body, 2));
  std::string reason;
  auto dict = nuv::linux_backend::dictionaryFromVariant(userInfo.get(), &reason);
  if (!dict) {
    fail(error, "user info: " + reason);
    return std::nullopt;
  }
  return fromUserInfo(*dict, error);
}

std::optional<StackPayload> StackPayload::fromDevices(GVariant* devices, std::string* error) {
  std::string reason;
  auto dict = nuv::linux_backend::dictionaryOfDictionariesFromVariant(devices, &reason);
  if (!dict) {
    fail(error, "Devices: " + reason);
    return std::nullopt;
  }
  return fromUserInfo(*dict, error);
}

}  // namespace nuvclient
