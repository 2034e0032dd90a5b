/* The built kavalin.so as the daemon sees it: its dynamic symbol table
 * holds exactly the module's interface, and its descriptor carries the
 * documented values and documentation text. */
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "quib/tag_search.h"
#include "zorv/dso.h"
#include "zorv/log.h"

namespace {

std::string module_path() {
  const char *dir = getenv("ZORV_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/lib/kavalin.so";
}

/* Names of the symbols the image defines in its dynamic symbol table. */
std::set<std::string> defined_dynamic_symbols(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)),
                          std::istreambuf_iterator<char>());
  std::set<std::string> names;
  if (image.size() < sizeof(Elf64_Ehdr)) return names;
  auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image.data());
  if (memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
      eh->e_ident[EI_CLASS] != ELFCLASS64) {
    return names;
  }
  auto *sh = reinterpret_cast<const Elf64_Shdr *>(image.data() + eh->e_shoff);
  for (int i = 0; i < eh->e_shnum; i++) {
    if (sh[i].sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr &strtab = sh[sh[i].sh_link];
    auto *syms = reinterpret_cast<const Elf64_Sym *>(image.data() + sh[i].sh_offset);
    size_t count = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t s = 1; s < count; s++) {
      if (syms[s].st_shndx == SHN_UNDEF) continue;
      names.insert(image.data() + strtab.sh_offset + syms[s].st_name);
    }
  }
  return names;
}

TEST(KavalinExports, DynamicSymbolTableIsExactlyTheInterface) {
  std::set<std::string> expected = {
      "kavalin",
      "kavalin_client_for_cluster_dyn_function",
      "kavalin_get_cluster_for_account_dyn_function",
      "kavalin_get_override_clusters_for_account_dyn_function",
      "kavalin_get_discard_data_filter_for_account_dyn_function",
      "kavalin_account_map_loaded_function",
      "kavalin_account_mapped_hook_register",
      "kavalin_account_mapped_hook_invoke",
      "kavalin_account_mapped_hook_exists",
      "kavalin_account_mapped_hook_proto",
      "kavalin_cluster_changed_hook_register",
      "kavalin_cluster_changed_hook_invoke",
      "kavalin_cluster_changed_hook_exists",
      "kavalin_cluster_changed_hook_proto",
  };
  EXPECT_EQ(defined_dynamic_symbols(module_path()), expected);
}

/* The documentation, line by line: indent and content. */
const std::pair<int, const char *> kDocLines[] = {
    {0, "<module>"},
    {2, "<name>kavalin</name>"},
    {2, "<description><para>The kavalin module maps accounts to clusters.</para></description>"},
    {2, "<loader>C</loader>"},
    {2, "<image>kavalin.so</image>"},
    {2, "<moduleconfig>"},
    {2, "</moduleconfig>"},
    {2, "<checkconfig />"},
    {2, "<examples>"},
    {4, "<example>"},
    {6, "<title>Loading the kavalin.</title>"},
    {6, "<para>This example loads the kavalin and configures it.</para>"},
    {6, "<programlisting><![CDATA["},
    {6, "<wendrel>"},
    {8, "<modules>"},
    {10, "<module image=\"kavalin\" name=\"kavalin\" />"},
    {8, "</modules>"},
    {6, "</wendrel>"},
    {4, "]]></programlisting>"},
    {4, "</example>"},
    {2, "</examples>"},
    {0, "</module>"},
    {0, ""},
};

TEST(KavalinExports, DescriptorLoadedFromTheModule) {
  /* The module takes these from the process, as it would in the daemon.
   * Real calls, whose results are used, keep the libraries linked in: a
   * linker that drops unused libraries would drop one whose functions are
   * only compared with null, since such a comparison is folded away. */
  int at = -1;
  quib_metric_tag_search_ast_t *ast = quib_metric_tag_search_parse("a:b", &at);
  ASSERT_NE(ast, nullptr);
  quib_metric_tag_search_free(ast);
  ASSERT_NE(zorv_log_stream_find("error/kavalin"), nullptr);
  void *handle = dlopen(module_path().c_str(), RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto *d = static_cast<zorv_dso_generic_t *>(dlsym(handle, "kavalin"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->magic, 0x3FD892A0u);
  EXPECT_EQ(d->version, 2u);
  EXPECT_STREQ(d->name, "kavalin");
  EXPECT_STREQ(d->description, "module to manage swimlane context");
  ASSERT_NE(d->onload, nullptr);
  ASSERT_NE(d->config, nullptr);
  ASSERT_NE(d->init, nullptr);
  EXPECT_EQ(d->onload(d), 0);
  EXPECT_EQ(d->config(d, nullptr), 0);

  std::string expected;
  for (const auto &[indent, text] : kDocLines) {
    expected += std::string(indent, ' ') + text + "\n";
  }
  EXPECT_EQ(std::string(d->xml_description), expected);

  /* It is also a well-formed document whose example is itself XML. */
  xmlDocPtr doc = xmlReadMemory(d->xml_description,
                                static_cast<int>(strlen(d->xml_description)),
                                nullptr, nullptr, XML_PARSE_NONET);
  ASSERT_NE(doc, nullptr);
  xmlFreeDoc(doc);

  /* Internal functions stay private. */
  EXPECT_EQ(dlsym(handle, "kav_init"), nullptr);
  EXPECT_EQ(dlsym(handle, "initialize_drask_cluster"), nullptr);
  /* Not closed: the daemon never unloads a module, and the module's
   * never-freed lists would then look like leaks. */
}

}  // namespace
