#include "app/ProbeErrorLog.h"

#include <cstdio>

#include "platform/Log.h"
#include "platform/Utf8.h"

namespace nuv {
namespace {

void appendEscaped(std::string& out, unsigned char c) {
  if (c == '\n') {
    out += "\\n";
  } else if (c == '\r') {
    out += "\\r";
  } else {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
  }
}

// Every run of digits as one '#'.
std::string kindOf(std::string_view line) {
  std::string kind;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (!digit) {
      kind += line[i];
    } else if (i == 0 || line[i - 1] < '0' || line[i - 1] > '9') {
      kind += '#';
    }
  }
  return kind;
}

}  // namespace

std::string ProbeErrorLog::printable(std::string_view bytes) {
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.remove_suffix(1);
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      const std::size_t n = utf8SequenceLength(bytes.substr(i));
      if (n > 1) {
        out.append(bytes.substr(i, n));
        i += n;
      } else {
        appendEscaped(out, c);
        ++i;
      }
      continue;
    }
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      appendEscaped(out, c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

void ProbeErrorLog::runEnded(const ErrorOutput& errors) {
  std::string_view text = errors.tail;
  if (errors.dropped > 0) {
    // The kept bytes begin inside a line: it starts with the next one, if any.
    const auto lineEnd = text.find('\n');
    if (lineEnd != text.npos && lineEnd + 1 < text.size()) text.remove_prefix(lineEnd + 1);
  }
  const std::string line = printable(text);
  if (line.empty()) {
    lastKind_.clear();
    return;
  }
  std::string kind = kindOf(line);
  const bool repeated = kind == lastKind_;
  lastKind_ = std::move(kind);

  std::string message = "probe tool stderr";
  if (errors.dropped > 0) {
    message += " (its last " + std::to_string(text.size()) + " of " +
               std::to_string(errors.dropped + errors.tail.size()) + " bytes)";
  }
  message += ": " + line;
  log::write(repeated ? log::Level::Debug : log::Level::Warning, message);
}

}  // namespace nuv
