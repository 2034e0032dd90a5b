/* The two hook families: order, results, NULL callbacks and names, and
 * their names and prototypes. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "modules/kavalin/internal.h"

namespace {

struct recorder {
  std::vector<std::string> calls;
  std::vector<std::pair<int64_t, int>> args;
};

struct probe {
  const char *name;
  recorder *rec;
  int answer; /* what the callback returns */
};

zorv_hook_return_t account_cb(void *closure, int64_t account, int cluster) {
  auto *p = static_cast<probe *>(closure);
  p->rec->calls.push_back(p->name);
  p->rec->args.push_back({account, cluster});
  return static_cast<zorv_hook_return_t>(p->answer);
}

zorv_hook_return_t cluster_cb(void *closure, int cluster) {
  auto *p = static_cast<probe *>(closure);
  p->rec->calls.push_back(p->name);
  p->rec->args.push_back({0, cluster});
  return static_cast<zorv_hook_return_t>(p->answer);
}

/* The lists never shrink, so the whole account-mapped story runs in one
 * test, in the order the registrations happen. */
TEST(KavalinHooks, AccountMappedOrderAbortDoneAndNullEntries) {
  ASSERT_FALSE(kavalin_account_mapped_hook_exists());
  EXPECT_EQ(kavalin_account_mapped_hook_invoke(1, 2), ZORV_HOOK_CONTINUE);
  EXPECT_STREQ(kavalin_account_mapped_hook_proto(),
               "(void *closure, int64_t account_id, int cluster_id)");

  /* Static: the nodes outlive the test. */
  static recorder rec;
  static probe a{"A", &rec, ZORV_HOOK_CONTINUE};
  static probe b{"B", &rec, ZORV_HOOK_CONTINUE};
  static probe c{"C", &rec, ZORV_HOOK_CONTINUE};
  /* The caller's name buffer is reused afterwards: nodes keep copies. */
  char name[16];
  strcpy(name, "first");
  kavalin_account_mapped_hook_register(name, account_cb, &a);
  strcpy(name, "XXXXX");
  kavalin_account_mapped_hook_register(nullptr, account_cb, &b);
  kavalin_account_mapped_hook_register("third", account_cb, &c);

  EXPECT_TRUE(kavalin_account_mapped_hook_exists());
  auto *head = nh_kavalin_account_mapped_list.load();
  ASSERT_NE(head, nullptr);
  EXPECT_STREQ(head->optional_name, "third");
  EXPECT_EQ(head->next->optional_name, nullptr);
  EXPECT_STREQ(head->next->next->optional_name, "first");
  EXPECT_STREQ(head->proto, kavalin_account_mapped_hook_proto());

  /* Newest first, arguments passed through. */
  EXPECT_EQ(kavalin_account_mapped_hook_invoke(-5, 7), ZORV_HOOK_CONTINUE);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_EQ(rec.args[0], (std::pair<int64_t, int>{-5, 7}));

  /* ABORT from B: A is not called. */
  rec = {};
  b.answer = ZORV_HOOK_ABORT;
  EXPECT_EQ(kavalin_account_mapped_hook_invoke(1, 1), ZORV_HOOK_ABORT);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"C", "B"}));

  /* DONE from C: every callback still runs; the result is DONE. */
  rec = {};
  b.answer = ZORV_HOOK_CONTINUE;
  c.answer = ZORV_HOOK_DONE;
  EXPECT_EQ(kavalin_account_mapped_hook_invoke(1, 1), ZORV_HOOK_DONE);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"C", "B", "A"}));

  /* A value outside the three results counts as CONTINUE. */
  rec = {};
  c.answer = 3;
  EXPECT_EQ(kavalin_account_mapped_hook_invoke(1, 1), ZORV_HOOK_CONTINUE);
  EXPECT_EQ(rec.calls.size(), 3u);

  /* A NULL callback is registered (and newest) but skipped. */
  rec = {};
  kavalin_account_mapped_hook_register("null", nullptr, nullptr);
  EXPECT_EQ(nh_kavalin_account_mapped_list.load()->func, nullptr);
  EXPECT_EQ(kavalin_account_mapped_hook_invoke(1, 1), ZORV_HOOK_CONTINUE);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"C", "B", "A"}));

  /* The same callback twice runs twice. */
  rec = {};
  kavalin_account_mapped_hook_register("again", account_cb, &a);
  kavalin_account_mapped_hook_invoke(1, 1);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"A", "C", "B", "A"}));
}

TEST(KavalinHooks, ClusterChangedIsItsOwnList) {
  ASSERT_FALSE(kavalin_cluster_changed_hook_exists());
  EXPECT_STREQ(kavalin_cluster_changed_hook_proto(),
               "(void *closure, int cluster_id)");
  static recorder rec;
  static probe x{"X", &rec, ZORV_HOOK_DONE};
  static probe y{"Y", &rec, ZORV_HOOK_ABORT};
  kavalin_cluster_changed_hook_register("x", cluster_cb, &x);
  EXPECT_TRUE(kavalin_cluster_changed_hook_exists());
  EXPECT_EQ(kavalin_cluster_changed_hook_invoke(4), ZORV_HOOK_DONE);
  kavalin_cluster_changed_hook_register("y", cluster_cb, &y);
  EXPECT_EQ(kavalin_cluster_changed_hook_invoke(9), ZORV_HOOK_ABORT);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"X", "Y"}));
  EXPECT_EQ(rec.args[1].second, 9);
}

}  // namespace
