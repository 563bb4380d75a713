#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cloud/Todo.h"

namespace nuv {

// A todo with write access to the record's "done" and "title", plus three
// properties kept by the wrapper alone (never read from or written to the
// record, never carried over by a copy).
class MutableTodo : public Todo {
 public:
  MutableTodo() = default;
  explicit MutableTodo(CloudRecordRef record) : Todo(std::move(record)) {}

  static MutableTodoRef todoWithRecord(CloudRecordRef record);

  // Both write into the record (no effect on a todo without one). An absent
  // title removes the field.
  void setDone(bool done);
  void setTitle(std::optional<std::string> title);

  const std::optional<std::int64_t>& Battery() const { return Battery_; }
  void setBattery(std::optional<std::int64_t> battery) { Battery_ = battery; }
  const std::optional<std::string>& Name() const { return Name_; }
  void setName(std::optional<std::string> name) { Name_ = std::move(name); }
  const std::optional<std::string>& Kind() const { return Kind_; }
  void setKind(std::optional<std::string> kind) { Kind_ = std::move(kind); }

 private:
  std::optional<std::int64_t> Battery_;
  std::optional<std::string> Name_;
  std::optional<std::string> Kind_;
};

}  // namespace nuv
