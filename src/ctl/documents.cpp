#include "documents.h"

#include <cctype>
#include <charconv>
#include <utility>

namespace wendrelctl {
namespace {

/* Length of the UTF-8 sequence starting at s[i], 0 when it is not one
 * (overlong forms, surrogates and values past U+10FFFF included). */
size_t utf8_length(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) { n = 2; cp = c & 0x1f; }
  else if (c >= 0xe0 && c <= 0xef) { n = 3; cp = c & 0x0f; }
  else if (c >= 0xf0 && c <= 0xf4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; k++) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
    cp = cp << 6 | (byte(i + k) & 0x3f);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
      (n == 4 && (cp < 0x10000 || cp > 0x10ffff)))
    return 0;
  if (cp == 0xfffe || cp == 0xffff) return 0;  // not XML characters
  return n;
}

template <typename T>
std::optional<T> parse_int(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> xml_attribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      /* A parser turns literal tabs and line ends in an attribute into
       * blanks; references keep them as they are. */
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: {
        if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
        size_t n = utf8_length(text, i);
        if (n == 0) return std::nullopt;
        out.append(text.substr(i, n));
        i += n;
        continue;
      }
    }
    i++;
  }
  return out;
}

std::optional<std::string> map_document(const std::vector<MapEntry> &entries) {
  std::string doc = "<drask>";
  for (const MapEntry &e : entries) {
    doc += "<map account=\"" + std::to_string(e.account) + "\"";
    if (e.cluster) doc += " cluster=\"" + std::to_string(*e.cluster) + "\"";
    if (e.filter) {
      auto value = xml_attribute(*e.filter);
      if (!value) return std::nullopt;
      doc += " discard_data_filter=\"" + *value + "\"";
    }
    doc += "/>";
  }
  return doc + "</drask>";
}

std::optional<std::string> cluster_document(const std::vector<std::string> &hosts) {
  std::string doc = "<drask>";
  for (const std::string &h : hosts) {
    auto value = xml_attribute(h);
    if (!value) return std::nullopt;
    doc += "<bootstrap host=\"" + *value + "\"/>";
  }
  return doc + "</drask>";
}

std::string error_text(std::string_view body) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
  };
  size_t open = body.find("<error>");
  size_t close = body.rfind("</error>");
  if (open == std::string_view::npos || close == std::string_view::npos ||
      close < open)
    return std::string(trim(body));
  std::string_view inner = body.substr(open + 7, close - open - 7);
  std::string out;
  static const std::pair<std::string_view, char> refs[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (size_t i = 0; i < inner.size();) {
    bool replaced = false;
    for (const auto &[ref, ch] : refs) {
      if (inner.substr(i, ref.size()) == ref) {
        out += ch;
        i += ref.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += inner[i++];
  }
  return std::string(trim(out));
}

std::optional<int64_t> parse_i64(std::string_view text) { return parse_int<int64_t>(text); }
std::optional<int32_t> parse_i32(std::string_view text) { return parse_int<int32_t>(text); }

}  // namespace wendrelctl
