#include "TextTable.h"

#include <glib.h>

#include <algorithm>

namespace nuvctl {

TextTable::TextTable(std::vector<Column> columns, std::string indent)
    : columns_(std::move(columns)), indent_(std::move(indent)) {}

void TextTable::add(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  lines_.push_back({std::move(cells), {}});
}

void TextTable::note(std::string line) { lines_.push_back({{}, std::move(line)}); }

std::size_t TextTable::width(const std::string& text) {
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text.size();
  return static_cast<std::size_t>(g_utf8_strlen(text.data(), static_cast<gssize>(text.size())));
}

std::string TextTable::pad(const std::string& text, std::size_t width) {
  const std::size_t length = TextTable::width(text);
  return length >= width ? text : text + std::string(width - length, ' ');
}

std::string TextTable::line(const std::vector<std::string>& cells,
                            const std::vector<std::size_t>& widths) const {
  std::string out = indent_;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const std::size_t room = widths[i] - std::min(widths[i], width(cells[i]));
    const bool last = i + 1 == cells.size();
    if (columns_[i].align == Align::Right) out += std::string(room, ' ');
    out += cells[i];
    if (columns_[i].align == Align::Left && !last) out += std::string(room, ' ');
    if (!last) out += "  ";
  }
  return out + "\n";
}

std::string TextTable::text() const {
  std::vector<std::size_t> widths;
  bool headed = false;
  for (const auto& column : columns_) {
    widths.push_back(std::max(column.minWidth, width(column.heading)));
    headed = headed || !column.heading.empty();
  }
  for (const auto& l : lines_) {
    for (std::size_t i = 0; i < l.cells.size(); ++i) {
      widths[i] = std::max(widths[i], width(l.cells[i]));
    }
  }
  std::string out;
  if (headed) {
    std::vector<std::string> headings;
    for (const auto& column : columns_) headings.push_back(column.heading);
    out += line(headings, widths);
  }
  for (const auto& l : lines_) out += l.cells.empty() ? l.note + "\n" : line(l.cells, widths);
  return out;
}

}  // namespace nuvctl
