#include "RotationState.h"

#include <glib.h>

#include "ProbeStateFolder.h"

namespace nuv {
namespace {

constexpr const char* kHeader = "nuv-probe-rotation 1";

std::vector<std::string> parse(std::string_view text) {
  std::vector<std::string> out;
  if (text.empty() || text.back() != '\n') return {};  // cut short
  text.remove_suffix(1);
  bool first = true;
  while (true) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (first) {
      if (line != kHeader) return {};
      first = false;
    } else {
      std::string udid;
      if (!ProbeStateFolder::unescape(line, &udid)) return {};
      out.push_back(std::move(udid));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

}  // namespace

RotationState::RotationState(std::string directory) : directory_(std::move(directory)) {}

std::string RotationState::defaultDirectory() {
  return std::string(g_get_user_runtime_dir()) + "/vemo.Tallyport.NUVModule";
}

std::vector<std::string> RotationState::load() const {
  const auto text = ProbeStateFolder::read(directory_, kFileName);
  return text ? parse(*text) : std::vector<std::string>{};
}

bool RotationState::update(
    const std::function<std::vector<std::string>(std::vector<std::string>)>& change) {
  return ProbeStateFolder::rewrite(directory_, kFileName, [&] {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& udid : change(load())) text += ProbeStateFolder::escape(udid) + "\n";
    return text;
  });
}

}  // namespace nuv
