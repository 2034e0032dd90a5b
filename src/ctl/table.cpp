#include "table.h"

#include <algorithm>

namespace wendrelctl {
namespace {

/* Display width: UTF-8 continuation bytes take no column. */
size_t width(const std::string &s) {
  size_t w = 0;
  for (unsigned char c : s) w += (c & 0xc0) != 0x80;
  return w;
}

}  // namespace

void Table::print(FILE *out) const {
  std::vector<size_t> widths;
  for (const auto &row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); i++)
      widths[i] = std::max(widths[i], width(row[i]));
  }
  for (const auto &row : rows_) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - width(row[i]) + 2, ' ');
    }
    fprintf(out, "%s\n", line.c_str());
  }
}

}  // namespace wendrelctl
