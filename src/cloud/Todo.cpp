#include "cloud/Todo.h"

#include <typeinfo>

#include "cloud/MutableTodo.h"

namespace nuv {

Todo::Todo() : record_(std::make_shared<CloudRecord>(kRecordType)) {}

Todo::Todo(CloudRecordRef record) : record_(std::move(record)) {}

TodoRef Todo::todoWithRecord(CloudRecordRef record) {
  return std::make_shared<Todo>(std::move(record));
}

TodoRef Todo::todoWithTitle(std::int32_t) { return nullptr; }

TodoRef Todo::copy() const {
  if (typeid(*this) == typeid(Todo)) {
    if (auto self = std::const_pointer_cast<Todo>(weak_from_this().lock())) return self;
  }
  auto result = std::make_shared<Todo>();
  result->setRecord(record_);
  return result;
}

MutableTodoRef Todo::mutableCopy() const {
  auto result = std::make_shared<MutableTodo>();
  result->setRecord(record_);
  return result;
}

bool Todo::isEqual(const Todo* other) const {
  if (!other || !record_ || !other->record_) return false;
  return record_->isEqual(*other->record_);
}

std::size_t Todo::hash() const { return record_ ? record_->hash() : 0; }

bool Todo::isDone() const {
  if (!record_) return false;
  auto value = record_->objectForKey(kDoneKey);
  return value && cloudBoolValue(*value);
}

std::optional<std::string> Todo::title() const {
  if (!record_) return std::nullopt;
  auto value = record_->objectForKey(kTitleKey);
  if (!value) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(&*value)) return *s;
  return std::nullopt;
}

std::optional<Date> Todo::creationDate() const {
  return record_ ? record_->creationDate() : std::nullopt;
}

std::optional<Date> Todo::modificationDate() const {
  return record_ ? record_->modificationDate() : std::nullopt;
}

void Todo::setRecord(const CloudRecordRef& record) { record_ = record ? record->copy() : nullptr; }

}  // namespace nuv
