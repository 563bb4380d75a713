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

#include <algorithm>
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

// The reading end of one pipe from the child, drained on the loop's context
// until its end. With a limit only the last `limit` bytes are kept, however
// much the child writes.
class PipeReader {
 public:
  explicit PipeReader(std::size_t limit = std::string::npos) : limit_(limit) {}
  ~PipeReader() { close(); }
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  void watch(UniqueFd fd) {
    g_unix_set_fd_nonblocking(fd.get(), TRUE, nullptr);
    fd_ = std::move(fd);
    source_ = g_unix_fd_add(fd_.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP),
                            &PipeReader::onReadable, this);
  }
  bool open() const { return static_cast<bool>(fd_); }
  // Takes what the pipe holds now and closes it. Bounded, so that a writer
  // that keeps writing cannot hold the caller.
  void finish() {
    if (!fd_) return;
    read(kFinishBudget);
    close();
  }
  void close() {
    if (source_) g_source_remove(source_);
    source_ = 0;
    fd_.reset();
  }
  std::string take() { return std::move(text_); }
  std::uint64_t dropped() const { return dropped_; }

 private:
  static constexpr std::size_t kChunk = 65536;  // a whole default pipe buffer
  static constexpr std::size_t kFinishBudget = 16 * kChunk;

  // One chunk per dispatch: a child that writes without pause never holds
  // the loop, which serves its other sources between two reads.
  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto* self = static_cast<PipeReader*>(data);
    if (!self->read(kChunk)) return G_SOURCE_CONTINUE;
    self->source_ = 0;
    self->fd_.reset();
    return G_SOURCE_REMOVE;
  }

  // Reads up to `budget` bytes; true once the stream has ended (end of
  // file, or an error that ends it).
  bool read(std::size_t budget) {
    char chunk[kChunk];
    while (budget > 0) {
      const ssize_t n = ::read(fd_.get(), chunk, std::min(sizeof chunk, budget));
      if (n > 0) {
        append(chunk, static_cast<std::size_t>(n));
        budget -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return !(n < 0 && errno == EAGAIN);
    }
    return false;
  }

  void append(const char* data, std::size_t n) {
    if (n >= limit_) {
      dropped_ += text_.size() + (n - limit_);
      text_.assign(data + (n - limit_), limit_);
      return;
    }
    text_.append(data, n);
    if (text_.size() > limit_) {
      const std::size_t excess = text_.size() - limit_;
      dropped_ += excess;
      text_.erase(0, excess);
    }
  }

  std::size_t limit_;
  UniqueFd fd_;
  guint source_ = 0;
  std::string text_;
  std::uint64_t dropped_ = 0;
};

// A pipe whose ends are closed on exec; false when none can be made.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
}

class ChildProcess : public Process {
 public:
  ChildProcess(RunLoop& loop, std::string path, std::vector<std::string> args)
      : loop_(loop), path_(std::move(path)), args_(std::move(args)) {}

  ~ChildProcess() override {
    closePipes();
    if (exitSource_) g_source_remove(exitSource_);
    // Nobody waits for this child any more; GLib reaps it when it ends, so
    // it never lingers as a zombie.
    if (pid_ > 0 && !exited_)
      g_child_watch_add(
          pid_, [](GPid, gint, gpointer) {}, nullptr);
  }

  bool launch(std::string* error) override {
    UniqueFd outRead, outWrite, errRead, errWrite;
    if (!makePipe(outRead, outWrite) || !makePipe(errRead, errWrite)) {
      return failed(error, "cannot create a pipe");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy; everything above stderr goes.
    // Standard output first: its write end is the lower descriptor and may
    // be 2 itself when the module runs without one.
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
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
    outWrite.reset();
    errWrite.reset();

    // The child is not reaped before onExit, so its pid cannot be reused
    // meanwhile: signals by pid and the pidfd are safe.
    pidfd_.reset(openPidfd(pid_));
    if (pidfd_) {
      exitSource_ = g_unix_fd_add(pidfd_.get(), G_IO_IN, &ChildProcess::onExit, this);
    } else {
      exitSource_ = g_child_watch_add(pid_, &ChildProcess::onChildWatch, this);
    }
    output_.watch(std::move(outRead));
    errors_.watch(std::move(errRead));
    return true;
  }

  void waitUntilExit(Milliseconds outputGrace) override {
    loop_.runUntil([this] { return exited_; });
    if (!pipesOpen()) return;
    // Whoever still holds a pipe is not the child: give it the grace, then
    // take what has arrived.
    bool graceOver = false;
    TimerRef grace = loop_.scheduleTimer(outputGrace, [&graceOver] { graceOver = true; });
    loop_.runUntil([&] { return !pipesOpen() || graceOver; });
    grace->invalidate();
    output_.finish();
    errors_.finish();
  }

  std::string readOutputToEnd() override {
    if (!exited_ || pipesOpen()) return {};
    return output_.take();
  }

  ErrorOutput readErrorToEnd() override {
    if (!exited_ || pipesOpen()) return {};
    return {errors_.take(), errors_.dropped()};
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
    // A process outside the group may still hold the pipes; stop waiting for it.
    closePipes();
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
    closePipes();
  }

  int processIdentifier() const override { return pid_; }

 private:
  bool failed(std::string* error, const std::string& why) {
    if (error) *error = why;
    exited_ = true;
    return false;
  }

  bool pipesOpen() const { return output_.open() || errors_.open(); }
  void closePipes() {
    output_.close();
    errors_.close();
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

  RunLoop& loop_;
  std::string path_;
  std::vector<std::string> args_;
  pid_t pid_ = 0;
  bool exited_ = false;  // reaped, or never started
  UniqueFd pidfd_;
  guint exitSource_ = 0;
  // Open until their end, or until the wait or kill() gives up on them.
  PipeReader output_;
  PipeReader errors_{kErrorTailBytes};
};

}  // namespace

std::shared_ptr<Process> SpawnProcessLauncher::makeProcess(
    const std::string& path, const std::vector<std::string>& arguments) {
  return std::make_shared<ChildProcess>(loop_, path, arguments);
}

}  // namespace nuv::linux_backend
