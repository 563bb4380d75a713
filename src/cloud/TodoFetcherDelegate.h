#pragma once

#include "platform/cloud/CloudError.h"

namespace nuv {

class TodoFetcher;

// Receiver of the record store's reports, always called on the main thread.
// Both messages are optional: the store asks respondsTo() before each send and
// sends nothing when the answer is no.
class TodoFetcherDelegate {
 public:
  enum class Message { TodoFetcherDidUpdateTodos, TodoFetcherDidFailWithError };

  virtual ~TodoFetcherDelegate() = default;

  virtual bool respondsTo(Message message) const = 0;
  // The store's list has been replaced.
  virtual void todoFetcherDidUpdateTodos(TodoFetcher& fetcher) { (void)fetcher; }
  // A cloud call failed; `error` is the backend's error, unchanged.
  virtual void todoFetcherDidFailWithError(TodoFetcher& fetcher, const CloudError& error) {
    (void)fetcher;
    (void)error;
  }
};

}  // namespace nuv
