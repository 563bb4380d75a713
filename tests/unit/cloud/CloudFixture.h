#pragma once

// The record store on fakes: a TodoFetcher over a FakeCloudDatabase, on
// virtual time, with the log lines of level Info and above collected.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud/TodoFetcher.h"
#include "platform/Log.h"
#include "platform/fake/FakeCloudDatabase.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv::test {

inline CloudRecordData todoData(const std::string& recordName, const std::string& deviceName) {
  CloudRecordData r;
  r.recordType = "Todo";
  r.recordID = CloudRecordID{recordName};
  r.fields = {{"Name", deviceName}, {"title", "t-" + recordName}};
  return r;
}

inline std::vector<std::string> namesOf(const TodoFetcher::TodoListRef& list) {
  std::vector<std::string> out;
  if (list) {
    for (const auto& t : *list) out.push_back(t->record()->recordID().recordName);
  }
  return out;
}

class CloudFixture : public ::testing::Test {
 protected:
  CloudFixture() {
    log::setSink([this](log::Level level, std::string_view line) {
      if (level >= log::Level::Info) lines.emplace_back(line);
    });
  }
  // Queued cloud work holds the store, which holds the database: run it out.
  ~CloudFixture() override {
    settle();
    log::setSink(nullptr);
  }

  // Runs the backend's work and then the main loop until both are quiet;
  // work that falls due later (retries) stays for the test to reach.
  void settle() {
    while (db.pendingCount() > 0 || loop.nextTaskDelay() == Milliseconds(0)) {
      db.deliverAll();
      loop.runUntilIdle();
    }
  }
  void advance(Milliseconds delta) {
    loop.advance(delta);
    settle();
  }
  // Seeds records of these names (device "dev-NAME") and fetches them.
  void fetchSeeded(std::initializer_list<const char*> recordNames) {
    for (const char* n : recordNames) db.seed(todoData(n, std::string("dev-") + n));
    fetcher->fetch();
    settle();
    lines.clear();
  }
  std::vector<std::string> names() const { return namesOf(fetcher->todos()); }
  int logged(const std::string& text) const {
    int n = 0;
    for (const auto& line : lines) n += line.find(text) != std::string::npos;
    return n;
  }

  fake::FakeRunLoop loop;
  std::shared_ptr<fake::FakeCloudContainer> container =
      std::make_shared<fake::FakeCloudContainer>(TodoFetcher::kContainerIdentifier);
  fake::FakeCloudDatabase& db = *container->fakeDatabase();
  std::shared_ptr<TodoFetcher> fetcher = TodoFetcher::create(loop, container);
  std::vector<std::string> lines;
};

}  // namespace nuv::test
