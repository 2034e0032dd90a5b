/* The XML documents the update endpoints take, built from checked values
 * with every attribute escaped, so that no operator writes XML by hand;
 * and the text of the endpoints' error documents. */
#ifndef WENDRELCTL_DOCUMENTS_H
#define WENDRELCTL_DOCUMENTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wendrelctl {

/* One entry of a map update: a mapping, or (no cluster) the removal of the
 * account's entry from the configuration file alone. */
struct MapEntry {
  int64_t account = 0;
  std::optional<int32_t> cluster;
  std::optional<std::string> filter;
};

/* text as an XML attribute value (without the quotes): markup characters
 * and the white space an attribute would otherwise normalise become
 * references. Empty optional when text holds a character XML cannot carry
 * (another control character, or bytes that are not UTF-8). */
std::optional<std::string> xml_attribute(std::string_view text);

/* <drask><map account=".." cluster=".." discard_data_filter=".."/>...</drask>.
 * Empty optional when a filter cannot be carried (see xml_attribute). */
std::optional<std::string> map_document(const std::vector<MapEntry> &entries);

/* <drask><bootstrap host=".."/>...</drask> (the endpoint fills in the
 * cluster). Empty optional when a host cannot be carried. */
std::optional<std::string> cluster_document(const std::vector<std::string> &hosts);

/* The message of an "<error>...</error>" answer, references decoded; the
 * body itself (trimmed) when it is no such document. */
std::string error_text(std::string_view body);

/* Strict decimal readings of command-line values: digits with an optional
 * leading '-', nothing else, within range. */
std::optional<int64_t> parse_i64(std::string_view text);
std::optional<int32_t> parse_i32(std::string_view text);

}  // namespace wendrelctl

#endif
