#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Workspace.h"

namespace nuv::fake {

class FakeApplication : public Application {
 public:
  int run(ApplicationDelegate& delegate) override {
    delegate_ = &delegate;
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return 0;
  }
  // Records the request; the real shell would end the process here.
  void terminate() override {
    ++terminateCount;
    if (delegate_) delegate_->applicationWillTerminate();
  }
  int terminateCount = 0;

 private:
  ApplicationDelegate* delegate_ = nullptr;
};

class FakeRunningApplication : public RunningApplication {
 public:
  FakeRunningApplication(int pid, std::optional<std::string> id, std::vector<int>* log)
      : pid_(pid), id_(std::move(id)), log_(log) {}
  int processIdentifier() const override { return pid_; }
  std::optional<std::string> bundleIdentifier() const override { return id_; }
  bool terminate() override {
    if (log_) log_->push_back(pid_);
    return true;
  }

 private:
  int pid_;
  std::optional<std::string> id_;
  std::vector<int>* log_;
};

class FakeWorkspace : public Workspace {
 public:
  // Adds an application in system order; terminate requests are logged by pid.
  void add(int pid, std::optional<std::string> id) {
    apps_.push_back(std::make_shared<FakeRunningApplication>(pid, std::move(id), &terminated));
  }
  std::vector<std::shared_ptr<RunningApplication>> runningApplications() override { return apps_; }
  std::vector<int> terminated;

 private:
  std::vector<std::shared_ptr<RunningApplication>> apps_;
};

class FakeBundle : public Bundle {
 public:
  std::string bundlePath() const override { return path; }
  std::string executablePath() const override { return path + "/NUVModule"; }
  std::optional<std::string> bundleIdentifier() const override { return identifier; }
  std::optional<std::string> pathForResource(const std::string& name) const override {
    return path + "/Resources/" + name;
  }
  std::string path = "/opt/NUVModule.app";
  std::optional<std::string> identifier = "vemo.Tallyport.NUVModule";
};

}  // namespace nuv::fake
