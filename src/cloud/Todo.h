#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Date.h"
#include "platform/cloud/CloudRecord.h"

namespace nuv {

class Todo;
class MutableTodo;
using TodoRef = std::shared_ptr<Todo>;
using MutableTodoRef = std::shared_ptr<MutableTodo>;

// Typed read access to one "Todo" cloud record.
//
// A todo made from a record shares it with the caller: writes through either
// reference are seen through the other. Todos are reference objects; make
// them with todoWithRecord (or make_shared) so that copy() can hand back the
// same object. The class takes no locks of its own: the record it wraps is
// thread-safe, and the record reference itself is fixed once the todo is made.
class Todo : public std::enable_shared_from_this<Todo> {
 public:
  static constexpr const char* kRecordType = "Todo";
  static constexpr const char* kTitleKey = "title";
  static constexpr const char* kDoneKey = "done";

  // A todo holding a new, empty record of type "Todo".
  Todo();
  // A todo holding exactly `record` (not a copy); may be null.
  explicit Todo(CloudRecordRef record);
  virtual ~Todo() = default;

  static TodoRef todoWithRecord(CloudRecordRef record);
  // Makes no todo: always null.
  static TodoRef todoWithTitle(std::int32_t title);

  // An immutable copy. A plain Todo is immutable as far as its own interface
  // goes, so it is returned itself; a MutableTodo yields a new Todo holding a
  // copy of the record.
  TodoRef copy() const;
  // Always a new MutableTodo holding a copy of the record, with its
  // wrapper-only fields empty.
  MutableTodoRef mutableCopy() const;

  // True when `other` is a todo (of either class) whose record equals this
  // todo's record; false when this todo has no record.
  bool isEqual(const Todo* other) const;
  // The record's hash; 0 without a record.
  std::size_t hash() const;

  // Read from the record at call time.
  bool isDone() const;
  std::optional<std::string> title() const;
  std::optional<Date> creationDate() const;
  std::optional<Date> modificationDate() const;

  const CloudRecordRef& record() const { return record_; }

 protected:
  // Stores a copy of `record`. Only while the todo is being made: the record
  // reference is read without a lock afterwards.
  void setRecord(const CloudRecordRef& record);

 private:
  CloudRecordRef record_;
};

}  // namespace nuv
