#include "ProbeRotation.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>

namespace nuv {

std::vector<DeviceCandidate> ProbeRotation::order(std::vector<DeviceCandidate> candidates,
                                                  const std::vector<std::string>& reported) {
  std::erase_if(candidates, [](const DeviceCandidate& c) { return c.udid.empty(); });
  // Rank 0 for never reported, then 1 + the position in `reported`.
  std::unordered_map<std::string, std::size_t> rank;
  for (std::size_t i = 0; i < reported.size(); ++i) rank.try_emplace(reported[i], i + 1);
  const auto rankOf = [&](const DeviceCandidate& c) {
    auto it = rank.find(c.udid);
    return it == rank.end() ? std::size_t{0} : it->second;
  };
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](const DeviceCandidate& a, const DeviceCandidate& b) {
                     const std::size_t ra = rankOf(a), rb = rankOf(b);
                     if (ra != rb) return ra < rb;
                     const bool aUsb = a.connection == DeviceConnection::Usb;
                     const bool bUsb = b.connection == DeviceConnection::Usb;
                     if (aUsb != bUsb) return aUsb;
                     return a.udid < b.udid;
                   });
  return candidates;
}

std::vector<std::string> ProbeRotation::record(const std::vector<std::string>& reported,
                                               const std::string& udid,
                                               const std::vector<DeviceCandidate>& listed) {
  const auto isListed = [&](const std::string& u) {
    return std::any_of(listed.begin(), listed.end(),
                       [&](const DeviceCandidate& c) { return c.udid == u; });
  };
  std::vector<std::string> out;
  for (const auto& u : reported) {
    if (u != udid && isListed(u) && std::find(out.begin(), out.end(), u) == out.end()) {
      out.push_back(u);
    }
  }
  out.push_back(udid);
  return out;
}

}  // namespace nuv
