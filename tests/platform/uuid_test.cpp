// UUID texts and the local node's identity.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "zorv/conf.h"
#include "zorv/uuid.h"

namespace {

TEST(Uuid, ParseEitherCaseAndUnparseLower) {
  uuid_t a, b;
  ASSERT_EQ(zorv_uuid_parse("6F1B7C2E-4A51-4B8E-9C61-0D2F5E3A9B17", a), 0);
  ASSERT_EQ(zorv_uuid_parse("6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9b17", b), 0);
  EXPECT_EQ(memcmp(a, b, sizeof(uuid_t)), 0);
  EXPECT_EQ(a[0], 0x6f);
  EXPECT_EQ(a[15], 0x17);
  char text[ZORV_UUID_STR_LEN + 1];
  zorv_uuid_unparse_lower(a, text);
  EXPECT_STREQ(text, "6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9b17");
}

TEST(Uuid, RefusesWhatIsNotAUuid) {
  uuid_t u;
  for (const char *bad : {"", "6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9b1",
                          "6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9b170",
                          "6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9b17 ",
                          "6f1b7c2e04a51-4b8e-9c61-0d2f5e3a9b17",
                          "6f1b7c2e-4a51-4b8e-9c61-0d2f5e3a9bx7"})
    EXPECT_EQ(zorv_uuid_parse(bad, u), -1) << "'" << bad << "'";
  EXPECT_EQ(zorv_uuid_parse(nullptr, u), -1);
}

TEST(Uuid, GeneratedAreDistinctAndNotNull) {
  uuid_t a, b;
  zorv_uuid_generate(a);
  zorv_uuid_generate(b);
  EXPECT_FALSE(zorv_uuid_is_null(a));
  EXPECT_NE(memcmp(a, b, sizeof(uuid_t)), 0);
  uuid_t zero = {0};
  EXPECT_TRUE(zorv_uuid_is_null(zero));
}

std::string self_text() {
  uuid_t u;
  memset(u, 0xAA, sizeof u);  // must be overwritten in every case
  zorv_cluster_get_self(u);
  char text[ZORV_UUID_STR_LEN + 1];
  zorv_uuid_unparse_lower(u, text);
  return text;
}

TEST(Uuid, ClusterSelfComesFromConfigurationOrIsZero) {
  const std::string zero = "00000000-0000-0000-0000-000000000000";
  EXPECT_EQ(self_text(), zero);  // nothing loaded yet
  ASSERT_EQ(zorv_conf_load_string(
                "<wendrel><clusters my_id=\"0D2F5E3A-4A51-4B8E-9C61-6F1B7C2E9B17\"/></wendrel>",
                nullptr, nullptr), 0);
  EXPECT_EQ(self_text(), "0d2f5e3a-4a51-4b8e-9c61-6f1b7c2e9b17");
  ASSERT_EQ(zorv_conf_load_string("<wendrel><clusters my_id=\"node-7\"/></wendrel>",
                                  nullptr, nullptr), 0);
  EXPECT_EQ(self_text(), zero);
  ASSERT_EQ(zorv_conf_load_string("<wendrel><clusters/></wendrel>", nullptr, nullptr), 0);
  EXPECT_EQ(self_text(), zero);
}

}  // namespace
