#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "platform/Date.h"

namespace nuv {

class Value;
// Ordered by key so that two equal dictionaries print and encode identically.
using Dictionary = std::map<std::string, Value>;
using Array = std::vector<Value>;

// A property-list value: what a notification's user info and the user
// defaults hold. Strings are UTF-8. Numbers are deliberately absent: on the
// bus a date is an `x`, and a second integer kind would make it ambiguous.
class Value {
 public:
  using Storage = std::variant<std::string, bool, Date, Dictionary, Array>;

  Value() : v_(std::string()) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(bool b) : v_(b) {}
  Value(Date d) : v_(d) {}
  Value(Dictionary d) : v_(std::move(d)) {}
  Value(Array a) : v_(std::move(a)) {}

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  template <class T>
  const T* get() const {
    return std::get_if<T>(&v_);
  }
  template <class T>
  T* get() {
    return std::get_if<T>(&v_);
  }
  const Storage& storage() const { return v_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage v_;
};

}  // namespace nuv
