/* Which bootstrap and map elements of the configuration count as entries,
 * and how the update endpoints take entries out of the tree.
 *
 * Both elements are leaves: everything they carry is in their attributes.
 * The lookups match at any depth, so an element nested inside another
 * bootstrap or map element would otherwise count as well: a host planted
 * inside cluster 3's element would serve cluster 5, and a lookup could
 * return an element together with its own descendant. Such an element is
 * not an entry: the cluster registry, the account map and both endpoints
 * skip it, so it is inert and leaves with the element that holds it. */
#include <unordered_set>

#include "internal.h"
#include "zorv/conf.h"

namespace {

bool entry_element(xmlNodePtr node) {
  return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
         (xmlStrEqual(node->name, BAD_CAST "bootstrap") ||
          xmlStrEqual(node->name, BAD_CAST "map"));
}

}  // namespace

bool nested_in_entry(xmlNodePtr node) {
  for (xmlNodePtr up = node ? node->parent : nullptr; up; up = up->parent) {
    if (entry_element(up)) return true;
  }
  return false;
}

bool nested_in_entry(zorv_conf_section_t section) {
  return nested_in_entry(zorv_conf_section_to_xmlnodeptr(section));
}

void remove_config_elements(const std::vector<xmlNodePtr> &nodes) {
  /* Thinned before anything is freed: a node listed twice, or one inside
   * another listed node, goes with the first or outer one, and its parent
   * chain must not be walked once that one is freed. */
  std::unordered_set<xmlNodePtr> listed(nodes.begin(), nodes.end());
  std::unordered_set<xmlNodePtr> taken;
  std::vector<xmlNodePtr> outermost;
  for (xmlNodePtr node : nodes) {
    if (node == nullptr || !taken.insert(node).second) continue;
    bool inside_listed = false;
    for (xmlNodePtr up = node->parent; up && !inside_listed; up = up->parent) {
      inside_listed = listed.count(up) != 0;
    }
    if (!inside_listed) outermost.push_back(node);
  }
  for (xmlNodePtr node : outermost) {
    zorv_conf_section_t section = zorv_conf_section_from_xmlnodeptr(node);
    zorv_conf_backingstore_remove(section);
    zorv_conf_include_remove(section);
    xmlUnlinkNode(node);
    xmlFreeNode(node);
  }
}
