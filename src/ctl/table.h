/* Aligned text tables for people: a header row, then one row per item,
 * columns separated by two blanks, the last column never padded. */
#ifndef WENDRELCTL_TABLE_H
#define WENDRELCTL_TABLE_H

#include <cstdio>
#include <string>
#include <vector>

namespace wendrelctl {

class Table {
 public:
  explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  size_t size() const { return rows_.size() - 1; }
  void print(FILE *out) const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace wendrelctl

#endif
