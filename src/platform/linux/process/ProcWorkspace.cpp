#include "platform/linux/process/ProcWorkspace.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/linux/process/InfoPlist.h"

namespace nuv::linux_backend {
namespace {

std::optional<unsigned long long> startTimeOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  return parseStartTime(line);
}

class ProcApplication : public RunningApplication {
 public:
  ProcApplication(int pid, unsigned long long start, std::optional<std::string> id)
      : pid_(pid), start_(start), id_(std::move(id)) {}

  int processIdentifier() const override { return pid_; }
  std::optional<std::string> bundleIdentifier() const override { return id_; }

  // SIGTERM through a pidfd: once the pidfd is open the pid cannot be reused
  // under us, and the start time check proves it is still the same process.
  bool terminate() override {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (fd < 0) return false;
    bool sent = false;
    if (startTimeOf(pid_) == start_) {
      sent = syscall(SYS_pidfd_send_signal, fd, SIGTERM, nullptr, 0) == 0;
    }
    close(fd);
    return sent;
  }

 private:
  int pid_;
  unsigned long long start_;
  std::optional<std::string> id_;
};

}  // namespace

std::vector<std::string> statFieldsAfterName(const std::string& statLine) {
  const auto close = statLine.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream rest(statLine.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(std::move(field));
  return fields;
}

std::optional<unsigned long long> parseStartTime(const std::string& statLine) {
  // Field 3 (state) is the first after ')'; field 22 is the 20th.
  const auto fields = statFieldsAfterName(statLine);
  if (fields.size() < 20) return std::nullopt;
  const std::string& field = fields[19];
  if (field.empty() || !std::all_of(field.begin(), field.end(), ::isdigit)) return std::nullopt;
  try {
    return std::stoull(field);
  } catch (...) {
    return std::nullopt;
  }
}

bool processGroupHasLiveMember(int pgid) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), &closedir);
  if (!dir) return true;  // cannot tell: assume the worst
  const std::string group = std::to_string(pgid);
  while (dirent* e = readdir(dir.get())) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;  // gone meanwhile
    // Field 3 is the state, field 5 the process group.
    const auto fields = statFieldsAfterName(line);
    if (fields.size() >= 3 && fields[2] == group && fields[0] != "Z") return true;
  }
  return false;
}

std::optional<Date> processStartDate(int pid) {
  const auto ticks = startTimeOf(pid);
  const long hz = sysconf(_SC_CLK_TCK);
  timespec real{}, boot{};
  if (!ticks || hz <= 0 || clock_gettime(CLOCK_REALTIME, &real) != 0 ||
      clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
    return std::nullopt;
  }
  auto micros = [](const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
  };
  const auto sinceBoot =
      static_cast<std::int64_t>(*ticks / hz * 1'000'000 + *ticks % hz * 1'000'000 / hz);
  return Date::fromMicroseconds(micros(real) - micros(boot) + sinceBoot);
}

std::vector<std::shared_ptr<RunningApplication>> ProcWorkspace::runningApplications() {
  struct Found {
    unsigned long long start;
    int pid;
    std::optional<std::string> id;
  };
  std::vector<Found> found;
  std::map<std::string, std::optional<std::string>> identifiers;  // per bundle, read once
  const uid_t me = getuid();

  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), &closedir);
  if (!dir) return {};
  while (dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    struct stat st {};
    if (stat(("/proc/" + name).c_str(), &st) != 0 || st.st_uid != me) continue;
    auto exe = executableOf(name);
    if (!exe) continue;
    const std::string bundle = directoryOf(*exe);
    auto it = identifiers.find(bundle);
    if (it == identifiers.end())
      it = identifiers.emplace(bundle, readBundleIdentifier(bundle)).first;
    if (!it->second) continue;  // not an application
    const int pid = std::stoi(name);
    auto start = startTimeOf(pid);
    if (!start) continue;  // gone meanwhile
    found.push_back(Found{*start, pid, it->second});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.start != b.start ? a.start < b.start : a.pid < b.pid;
  });
  std::vector<std::shared_ptr<RunningApplication>> out;
  out.reserve(found.size());
  for (auto& f : found) out.push_back(std::make_shared<ProcApplication>(f.pid, f.start, f.id));
  return out;
}

}  // namespace nuv::linux_backend
