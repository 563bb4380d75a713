#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nuvctl {

// Columns of text for a terminal, lined up by their width in characters
// (UTF-8 code points), so that translated headings and cells of any length
// line up: each column is as wide as its widest cell or heading, at least
// `minWidth`, two spaces apart. A left-aligned last column is not padded.
class TextTable {
 public:
  enum class Align { Left, Right };
  struct Column {
    std::string heading;  // "" in every column: no heading line
    Align align = Align::Left;
    std::size_t minWidth = 0;
  };

  // Every line starts with `indent`.
  explicit TextTable(std::vector<Column> columns, std::string indent = "");

  // One cell per column.
  void add(std::vector<std::string> cells);
  // A line of its own between the rows, not lined up (a note under a row).
  void note(std::string line);
  // The heading line, then the rows and notes in their order; every line
  // ends with a newline.
  std::string text() const;

  // Width in code points (bytes for text that is not UTF-8).
  static std::size_t width(const std::string& text);
  // `text` padded with spaces to `width`.
  static std::string pad(const std::string& text, std::size_t width);

 private:
  struct Line {
    std::vector<std::string> cells;  // empty for a note
    std::string note;
  };
  std::string line(const std::vector<std::string>& cells,
                   const std::vector<std::size_t>& widths) const;

  std::vector<Column> columns_;
  std::string indent_;
  std::vector<Line> lines_;
};

}  // namespace nuvctl
