#include "platform/linux/GSubprocessLauncher.h"

#include <gio/gio.h>

#include <csignal>

#include "platform/RunLoop.h"
#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {
namespace {

// State shared with the asynchronous completions, which may outlive the
// process object (a completion always runs, if only to report cancellation).
struct ChildState {
  glib::Object<GSubprocess> subprocess;
  glib::Object<GCancellable> cancellable{g_cancellable_new()};
  bool exited = false;      // the child has been reaped
  bool outputDone = false;  // standard output reached its end (or was abandoned)
  std::string output;
};

class ChildProcess : public Process {
 public:
  ChildProcess(RunLoop& loop, std::string path, std::vector<std::string> args)
      : loop_(loop),
        path_(std::move(path)),
        args_(std::move(args)),
        state_(std::make_shared<ChildState>()) {}

  ~ChildProcess() override { g_cancellable_cancel(state_->cancellable.get()); }

  bool launch(std::string* error) override {
    std::vector<const gchar*> argv;
    argv.push_back(path_.c_str());
    for (const auto& a : args_) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    GError* raw = nullptr;
    state_->subprocess.reset(
        g_subprocess_newv(argv.data(),
                          static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDIN_INHERIT),
                          &raw));
    glib::Error err(raw);
    if (!state_->subprocess) {
      if (error) *error = err ? err->message : "cannot start";
      state_->exited = state_->outputDone = true;
      return false;
    }
    pid_ = std::atoi(g_subprocess_get_identifier(state_->subprocess.get())
                         ? g_subprocess_get_identifier(state_->subprocess.get())
                         : "0");
    auto* keep = new std::shared_ptr<ChildState>(state_);
    g_subprocess_wait_async(state_->subprocess.get(), nullptr, &ChildProcess::onExit, keep);
    auto* keep2 = new std::shared_ptr<ChildState>(state_);
    g_subprocess_communicate_async(state_->subprocess.get(), nullptr, state_->cancellable.get(),
                                   &ChildProcess::onOutput, keep2);
    return true;
  }

  void waitUntilExit() override {
    auto state = state_;
    loop_.runUntil([state] { return state->exited && state->outputDone; });
  }

  std::string readOutputToEnd() override {
    if (!state_->exited || !state_->outputDone) return {};
    return std::move(state_->output);
  }

  bool isRunning() const override { return state_->subprocess && !state_->exited; }

  void terminate() override {
    if (isRunning()) g_subprocess_send_signal(state_->subprocess.get(), SIGTERM);
  }

  void kill() override {
    if (isRunning()) g_subprocess_force_exit(state_->subprocess.get());
    // A grandchild may still hold the pipe open; stop waiting for it.
    g_cancellable_cancel(state_->cancellable.get());
  }

  int processIdentifier() const override { return pid_; }

 private:
  static void onExit(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<ChildState>> keep(
        static_cast<std::shared_ptr<ChildState>*>(data));
    g_subprocess_wait_finish(G_SUBPROCESS(source), result, nullptr);
    (*keep)->exited = true;
  }

  static void onOutput(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<ChildState>> keep(
        static_cast<std::shared_ptr<ChildState>*>(data));
    GBytes* raw = nullptr;
    if (g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &raw, nullptr, nullptr)) {
      glib::Bytes bytes(raw);
      if (bytes) {
        gsize size = 0;
        auto* p = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
        (*keep)->output.assign(p ? p : "", size);
      }
    }
    (*keep)->outputDone = true;
  }

  RunLoop& loop_;
  std::string path_;
  std::vector<std::string> args_;
  std::shared_ptr<ChildState> state_;
  int pid_ = 0;
};

}  // namespace

std::shared_ptr<Process> GSubprocessLauncher::makeProcess(
    const std::string& path, const std::vector<std::string>& arguments) {
  return std::make_shared<ChildProcess>(loop_, path, arguments);
}

}  // namespace nuv::linux_backend
