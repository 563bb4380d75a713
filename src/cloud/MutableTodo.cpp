#include "cloud/MutableTodo.h"

namespace nuv {

MutableTodoRef MutableTodo::todoWithRecord(CloudRecordRef record) {
  return std::make_shared<MutableTodo>(std::move(record));
}

void MutableTodo::setDone(bool done) {
  if (record()) record()->setObjectForKey(kDoneKey, CloudBool{done});
}

void MutableTodo::setTitle(std::optional<std::string> title) {
  if (!record()) return;
  if (title) {
    record()->setObjectForKey(kTitleKey, std::move(*title));
  } else {
    record()->setObjectForKey(kTitleKey, std::nullopt);
  }
}

}  // namespace nuv
