// Module loading and the post-initialisation hooks.
//
// A module is opened with its symbols visible process-wide (a later module
// binds to an earlier one's exports as ordinary imports), its descriptor is
// checked, then onload, config and init run in that order. A module whose
// code has run is never closed again: it may have registered hooks, routes
// or threads that point into it. Options tables are kept for the life of the
// process for the same reason (a module may keep pointers to the texts).
#include <dlfcn.h>
#include <libxml/tree.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zorv/conf.h"
#include "zorv/dso.h"
#include "zorv/hash.h"
#include "zorv/host.h"
#include "zorv/log.h"

namespace {

struct LoadedModule {
  std::string name;
  std::string file;
  zorv_dso_generic_t *descriptor;
  zorv_hash_table *options;  // kept: the module may hold pointers into it
};

struct PostInitHook {
  std::string name;
  zorv_dso_post_init_func fn;
  void *closure;
};

struct Registry {
  std::mutex mu;
  std::string directory = ".";
  std::vector<LoadedModule> modules;
  // Options of modules whose code ran but whose loading failed: kept, as
  // the module may still hold pointers into them.
  std::vector<zorv_hash_table *> retained;
  std::vector<PostInitHook> hooks;
  size_t hooks_run = 0;  // hooks before this index have run
};

Registry &registry() {
  static auto *r = new Registry;
  return *r;
}

bool ends_with(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// A bare image name lives in the module directory; ".so" may be left out.
std::string resolve_image(const std::string &image, const std::string &directory) {
  if (image.find('/') != std::string::npos) return image;
  std::string file = directory.empty() ? "." : directory;
  file += "/" + image;
  if (!ends_with(file, ".so")) file += ".so";
  return file;
}

// "kavalin" from "kavalin", "kavalin.so" or "/opt/mods/kavalin.so".
std::string default_name(const std::string &image) {
  size_t slash = image.rfind('/');
  std::string base = slash == std::string::npos ? image : image.substr(slash + 1);
  if (ends_with(base, ".so")) base.resize(base.size() - 3);
  return base;
}

int fail(char **err, const std::string &message) {
  if (err)
    *err = strdup(message.c_str());
  else
    zorvL(zorv_error, "%s\n", message.c_str());
  return -1;
}

void free_string(void *p) { free(p); }

// One <module> element, read before anything is loaded so that no module's
// code runs while the configuration is held.
struct ModuleSpec {
  std::string image;
  std::string name;
  zorv_hash_table *options;
};

std::string get_string(zorv_conf_section_t section, const char *xpath) {
  char *text = nullptr;
  if (!zorv_conf_get_string(section, xpath, &text)) return {};
  std::string out(text);
  free(text);
  return out;
}

// The options of a module: each child element of its <config> element, its
// name as key and its text as value.
zorv_hash_table *options_of(xmlNodePtr module) {
  auto *table = static_cast<zorv_hash_table *>(calloc(1, sizeof(zorv_hash_table)));
  if (!table) return nullptr;
  zorv_hash_init(table);
  for (xmlNodePtr c = module->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE || xmlStrcmp(c->name, BAD_CAST "config") != 0)
      continue;
    for (xmlNodePtr opt = c->children; opt; opt = opt->next) {
      if (opt->type != XML_ELEMENT_NODE) continue;
      char *key = strdup(reinterpret_cast<const char *>(opt->name));
      xmlChar *content = xmlNodeGetContent(opt);
      char *value = strdup(content ? reinterpret_cast<const char *>(content) : "");
      xmlFree(content);
      if (!key || !value) {
        free(key);
        free(value);
        continue;
      }
      // A repeated option: the later one stands.
      zorv_hash_replace(table, key, static_cast<int>(strlen(key)), value,
                        free_string, free_string);
    }
    break;  // only the first <config> element
  }
  return table;
}

void free_options(zorv_hash_table *table) {
  if (!table) return;
  zorv_hash_destroy(table, free_string, free_string);
  free(table);
}

int load_module(const char *image, const char *name, zorv_hash_table *options,
                char **err, bool *config_ran);

}  // namespace

extern "C" {

void zorv_dso_set_directory(const char *dir) {
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  r.directory = dir && *dir ? dir : ".";
}

zorv_dso_generic_t *zorv_dso_find(const char *name) {
  if (!name) return nullptr;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  for (const LoadedModule &m : r.modules)
    if (m.name == name) return m.descriptor;
  return nullptr;
}

int zorv_dso_load(const char *image, const char *name, zorv_hash_table *options,
                  char **err) {
  bool config_ran = false;
  return load_module(image, name, options, err, &config_ran);
}

}  // extern "C"

namespace {

int load_module(const char *image, const char *name, zorv_hash_table *options,
                char **err, bool *config_ran) {
  if (!image || !*image) return fail(err, "cannot load module: no image given");
  std::string module_name = name && *name ? name : default_name(image);
  std::string directory;
  {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    directory = r.directory;
  }
  std::string file = resolve_image(image, directory);
  if (zorv_dso_find(module_name.c_str()))
    return fail(err, "cannot load module '" + module_name + "' from " + file +
                         ": a module of that name is already loaded");

  dlerror();
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    const char *why = dlerror();
    return fail(err, "cannot load module '" + module_name + "' from " + file + ": " +
                         (why ? why : "unknown dlopen failure"));
  }
  // Before any of its code has run, a refused image can still be closed.
  auto refuse = [&](const std::string &why) {
    dlclose(handle);
    return fail(err, "cannot load module '" + module_name + "' from " + file + ": " + why);
  };
  auto *desc = static_cast<zorv_dso_generic_t *>(dlsym(handle, module_name.c_str()));
  if (!desc) return refuse("no module descriptor named '" + module_name + "'");
  char buf[96];
  if (desc->magic != ZORV_DSO_MAGIC) {
    snprintf(buf, sizeof buf, "bad magic 0x%08X in its descriptor (expected 0x%08X)",
             desc->magic, ZORV_DSO_MAGIC);
    return refuse(buf);
  }
  if (desc->version != ZORV_DSO_GENERIC_VERSION) {
    snprintf(buf, sizeof buf, "unsupported descriptor version %u (expected %u)",
             desc->version, ZORV_DSO_GENERIC_VERSION);
    return refuse(buf);
  }

  // A module iterates its options; it gets an empty table of its own
  // rather than NULL (zero-filled is a valid empty table).
  bool own_options = !options;
  if (!options) {
    options = static_cast<zorv_hash_table *>(calloc(1, sizeof(zorv_hash_table)));
    if (!options) return refuse("out of memory");
  }
  zorv_hash_table *opts = options;
  auto step_failed = [&](const char *step, int rc) {
    if (*config_ran) {
      // The module has seen the table and may hold pointers into it.
      Registry &r = registry();
      std::lock_guard lock(r.mu);
      r.retained.push_back(opts);
    } else if (own_options) {
      free(opts);  // the empty table made above; no one else knows of it
    }
    // Otherwise the table is still the caller's, who frees it.
    snprintf(buf, sizeof buf, "%s returned %d", step, rc);
    return fail(err, "cannot load module '" + module_name + "' from " + file + ": " + buf);
  };
  int rc;
  if (desc->onload && (rc = desc->onload(desc)) != 0) return step_failed("onload", rc);
  *config_ran = desc->config != nullptr;
  if (desc->config && (rc = desc->config(desc, opts)) != 0) return step_failed("config", rc);
  if (desc->init && (rc = desc->init(desc)) != 0) return step_failed("init", rc);

  Registry &r = registry();
  std::lock_guard lock(r.mu);
  r.modules.push_back(LoadedModule{module_name, file, desc, options});
  return 0;
}

}  // namespace

extern "C" {

int zorv_dso_load_all(char **err) {
  std::string directory = get_string(ZORV_CONF_ROOT, "//modules/@directory");
  if (!directory.empty()) zorv_dso_set_directory(directory.c_str());

  std::vector<ModuleSpec> specs;
  int cnt = 0;
  zorv_conf_section_t *sections =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//modules/module", &cnt);
  for (int i = 0; i < cnt; ++i) {
    ModuleSpec spec;
    spec.image = get_string(sections[i], "@image");
    spec.name = get_string(sections[i], "@name");
    spec.options = options_of(zorv_conf_section_to_xmlnodeptr(sections[i]));
    specs.push_back(std::move(spec));
  }
  zorv_conf_release_sections_read(sections, cnt);

  int rc = 0;
  size_t i = 0;
  bool config_ran = false;
  for (; i < specs.size(); ++i) {
    ModuleSpec &spec = specs[i];
    if (spec.image.empty()) {
      rc = fail(err, "cannot load module " + std::to_string(i + 1) +
                         " of //modules: its module element has no image attribute");
      break;
    }
    if (!spec.options) {
      rc = fail(err, "cannot load module '" + spec.image + "': out of memory");
      break;
    }
    // A loaded module keeps its options table for good.
    config_ran = false;
    if ((rc = load_module(spec.image.c_str(), spec.name.c_str(), spec.options, err,
                          &config_ran)) != 0)
      break;
  }
  // The table of a module whose config never ran (it failed before, or a
  // module ahead of it stopped the start-up) belongs to no one.
  if (rc != 0) {
    for (size_t j = config_ran ? i + 1 : i; j < specs.size(); ++j)
      free_options(specs[j].options);
  }
  return rc;
}

void dso_post_init_hook_register(const char *name, zorv_dso_post_init_func fn,
                                 void *closure) {
  if (!fn) return;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  r.hooks.push_back(PostInitHook{name ? name : "", fn, closure});
}

void zorv_dso_run_post_init(void) {
  Registry &r = registry();
  for (;;) {
    PostInitHook hook;
    {
      // Re-read the list each time: a hook may register another one, which
      // then runs in this same pass. Each hook runs once, even if this
      // function is called again.
      std::lock_guard lock(r.mu);
      if (r.hooks_run >= r.hooks.size()) return;
      hook = r.hooks[r.hooks_run++];
    }
    if (hook.fn(hook.closure) == ZORV_HOOK_ABORT) {
      zorvL(zorv_error, "post-initialisation hook '%s' aborted; the remaining "
            "hooks of this pass do not run\n", hook.name.c_str());
      return;
    }
  }
}

}  // extern "C"
