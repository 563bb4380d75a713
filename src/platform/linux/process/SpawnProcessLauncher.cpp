#include "platform/linux/process/SpawnProcessLauncher.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/RunLoop.h"
#include "platform/linux/process/ProcWorkspace.h"
#include "platform/linux/runtime/UniqueFd.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace nuv::linux_backend {
namespace {

int openPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

class ChildProcess : public Process {
 public:
  ChildProcess(RunLoop& loop, std::string path, std::vector<std::string> args)
      : loop_(loop), path_(std::move(path)), args_(std::move(args)) {}

  ~ChildProcess() override {
    closeOutput();
    if (exitSource_) g_source_remove(exitSource_);
    // Nobody waits for this child any more; GLib reaps it when it ends, so
    // it never lingers as a zombie.
    if (pid_ > 0 && !exited_)
      g_child_watch_add(
          pid_, [](GPid, gint, gpointer) {}, nullptr);
  }

  bool launch(std::string* error) override {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return failed(error, "cannot create a pipe");
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy; everything above stderr goes.
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);  // e.g. an ignored SIGPIPE
    posix_spawnattr_setsigmask(&attr, &none);
    // A group of its own, whose id is the child's pid: set before exec, so it
    // exists by the time posix_spawn returns.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(path_.data());
    for (auto& a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, path_.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return failed(error, std::strerror(rc));
    pid_ = pid;
    writeEnd.reset();

    // The child is not reaped before onExit, so its pid cannot be reused
    // meanwhile: signals by pid and the pidfd are safe.
    pidfd_.reset(openPidfd(pid_));
    if (pidfd_) {
      exitSource_ = g_unix_fd_add(pidfd_.get(), G_IO_IN, &ChildProcess::onExit, this);
    } else {
      exitSource_ = g_child_watch_add(pid_, &ChildProcess::onChildWatch, this);
    }
    g_unix_set_fd_nonblocking(readEnd.get(), TRUE, nullptr);
    output_ = std::move(readEnd);
    outputSource_ = g_unix_fd_add(output_.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP),
                                  &ChildProcess::onOutput, this);
    return true;
  }

  void waitUntilExit(Milliseconds outputGrace) override {
    loop_.runUntil([this] { return exited_; });
    if (!output_) return;
    // Whoever still holds the pipe is not the child: give it the grace, then
    // take what has arrived.
    bool graceOver = false;
    TimerRef grace = loop_.scheduleTimer(outputGrace, [&graceOver] { graceOver = true; });
    loop_.runUntil([&] { return !output_ || graceOver; });
    grace->invalidate();
    if (output_) {
      readAvailable(output_.get());
      closeOutput();
    }
  }

  std::string readOutputToEnd() override {
    if (!exited_ || output_) return {};
    return std::move(buffer_);
  }

  bool isRunning() const override { return pid_ > 0 && !exited_; }

  // The group outlives its leader while anything it started lives on. Its id
  // cannot be handed to a new group before the last member is gone, so a
  // group found here is still the child's. The signal test is the cheap
  // answer for the usual empty group; zombies still count for it.
  bool isGroupRunning() const override {
    if (pid_ <= 0 || (::kill(-pid_, 0) != 0 && errno != EPERM)) return false;
    return processGroupHasLiveMember(pid_);
  }

  void terminate() override {
    if (!isGroupRunning()) return;
    ::kill(-pid_, SIGTERM);
    ::kill(-pid_, SIGCONT);
  }

  void kill() override {
    if (isGroupRunning()) ::kill(-pid_, SIGKILL);
    // A process outside the group may still hold the pipe; stop waiting for it.
    closeOutput();
  }

  void stopGroup(Milliseconds grace) override {
    if (pid_ <= 0) return;
    terminate();
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
      reapIfExited();  // as soon as the child has exited, not when the loop runs next
      if (!isGroupRunning()) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(-pid_, SIGKILL);
        break;
      }
      usleep(5000);
    }
    // SIGKILL ends the child at once unless it is inside the kernel; bounded
    // all the same, and an unreaped child is reaped by its exit source later.
    if (!exited_ && pidfd_) {
      pollfd p{pidfd_.get(), POLLIN, 0};
      poll(&p, 1, 100);
    }
    reapIfExited();
    closeOutput();
  }

  int processIdentifier() const override { return pid_; }

 private:
  bool failed(std::string* error, const std::string& why) {
    if (error) *error = why;
    exited_ = true;
    return false;
  }

  void closeOutput() {
    if (outputSource_) g_source_remove(outputSource_);
    outputSource_ = 0;
    output_.reset();
  }

  void reaped() {
    exited_ = true;
    exitSource_ = 0;
    pidfd_.reset();
  }

  // Reaps the child now if it has exited (stopGroup cannot wait for the
  // loop to do it).
  void reapIfExited() {
    if (exited_ || pid_ <= 0) return;
    siginfo_t info{};
    const int rc = pidfd_ ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()),
                                   &info, WEXITED | WNOHANG)
                          : waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG);
    if (rc == 0 && info.si_pid == 0) return;  // still running
    if (exitSource_) g_source_remove(exitSource_);
    reaped();
  }

  static gboolean onExit(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<ChildProcess*>(data);
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd), &info, WEXITED | WNOHANG) ==
            0 &&
        info.si_pid == 0) {
      return G_SOURCE_CONTINUE;  // readable before the child could be waited for
    }
    self->reaped();
    return G_SOURCE_REMOVE;
  }

  static void onChildWatch(GPid, gint, gpointer data) {
    static_cast<ChildProcess*>(data)->reaped();
  }

  // Appends what the pipe holds now; true once the output has ended.
  bool readAvailable(int fd) {
    char chunk[65536];
    for (;;) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return !(n < 0 && errno == EAGAIN);  // end of output, or an error that ends it
    }
  }

  static gboolean onOutput(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<ChildProcess*>(data);
    if (!self->readAvailable(fd)) return G_SOURCE_CONTINUE;
    self->outputSource_ = 0;
    self->output_.reset();
    return G_SOURCE_REMOVE;
  }

  RunLoop& loop_;
  std::string path_;
  std::vector<std::string> args_;
  pid_t pid_ = 0;
  bool exited_ = false;  // reaped, or never started
  UniqueFd pidfd_;
  guint exitSource_ = 0;
  UniqueFd output_;  // open until end of output, or kill() gives up on it
  guint outputSource_ = 0;
  std::string buffer_;
};

}  // namespace

std::shared_ptr<Process> SpawnProcessLauncher::makeProcess(
    const std::string& path, const std::vector<std::string>& arguments) {
  return std::make_shared<ChildProcess>(loop_, path, arguments);
}

}  // namespace nuv::linux_backend
