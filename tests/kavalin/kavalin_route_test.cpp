/* Routing-key rewriting on real payloads: the worked example, every way a
 * payload fails to qualify, the marker rules, and reads bounded by the
 * payload length (checked under AddressSanitizer with the payload at the
 * very end of its heap block). */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kavalin_test_support.h"
#include "zorv/memory.h"

namespace {

const std::string kUuid = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
const std::string kDigits =
    ".0.a.1.b.2.c.3.d.4.e.5.f.4.a.6.b.8.c.7.d.9.e.0.f.1.a.2.b.3.c.4.d";
const std::string kPad(300, 'x');

std::string payload_with(const std::string &field4,
                         const std::string &rest = "\tcpu\t1.5") {
  return "M\t10.1.2.3\t17.250\t" + field4 + rest;
}

/* Runs the hook with the payload copied to the end of a heap block of
 * exactly its size: a read past the last byte is a heap overflow. */
struct route_result {
  zorv_hook_return_t rc;
  std::string key;
};
route_result route(const std::string &payload, size_t rlen = 256,
                   const char *prefix = "stream") {
  char *block = static_cast<char *>(malloc(payload.size() ? payload.size() : 1));
  memcpy(block, payload.data(), payload.size());
  std::string buf(rlen, '#');
  zorv_hook_return_t rc = kavalin_alter_route(
      &kavalin, block, payload.size(), prefix, rlen ? buf.data() : nullptr,
      rlen);
  free(block);
  route_result r{rc, ""};
  if (rc == ZORV_HOOK_DONE && rlen > 0) {
    r.key = std::string(buf.c_str());
  } else {
    r.key = buf; /* untouched buffer, compared as is */
  }
  return r;
}

class KavalinRoute : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kavtest::start_with(kavtest::conf_doc(
        "<drask><swimlane>"
        "<bootstrap cluster=\"3\" host=\"127.0.0.1:1\"/>"
        "<bootstrap cluster=\"9\" host=\"127.0.0.1:2\"/>"
        "<account_map><map account=\"42\" cluster=\"3\"/></account_map>"
        "</swimlane></drask>"));
  }
};

TEST_F(KavalinRoute, WorkedExampleByteForByte) {
  std::string field4 = "ex`web01`c_42_1234::" + kUuid;
  ASSERT_EQ(field4.size(), 56u);
  auto r = route(payload_with(field4));
  EXPECT_EQ(r.rc, ZORV_HOOK_DONE);
  EXPECT_EQ(r.key, "stream.3.42.1234" + kDigits);
  /* Long leading fields: the third TAB lies well past the first bytes. */
  r = route("M\t" + std::string(40, '1') + "\t17.250\t" + field4 + "\tcpu");
  EXPECT_EQ(r.key, "stream.3.42.1234" + kDigits);
}

TEST_F(KavalinRoute, PayloadsThatDoNotQualifyLeaveTheBufferAlone) {
  const std::string untouched(256, '#');
  for (const std::string &p : {
           std::string(),
           std::string("M\t1\t2"),                       /* two TABs */
           std::string("M\t1\t2\t") + kUuid,             /* no fourth TAB */
           payload_with(kUuid.substr(1)),                /* 35 bytes */
           payload_with("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"), /* upper */
           payload_with("ex`w`c_42_1::0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3cxd"),
       }) {
    auto r = route(p);
    EXPECT_EQ(r.rc, ZORV_HOOK_CONTINUE) << p;
    EXPECT_EQ(r.key, untouched) << p;
  }
}

TEST_F(KavalinRoute, MarkerRules) {
  struct expectation {
    std::string field4;
    std::string rest;
    std::string key;
  };
  const expectation cases[] = {
      /* exactly 36 bytes: no marker search, even with a marker later */
      {kUuid, "\t`x`c_42_7", "stream.0.0.0" + kDigits},
      /* longer, without any backquote */
      {"xx" + kUuid, "\tcpu", "stream.0.0.0" + kDigits},
      /* one backquote in the whole payload */
      {"x`" + kUuid, "\tcpu", "stream.0.0.0" + kDigits},
      /* second backquote not followed by c_ */
      {"`a`d_42_7" + kUuid, "\tcpu", "stream.0.0.0" + kDigits},
      /* "c" then the end of the payload: the '_' would lie outside */
      {"`a" + kUuid, "\t`c", "stream.0.0.0" + kDigits},
      /* backquotes after the fourth TAB still count */
      {"::" + kUuid, "\t`h`c_42_99", "stream.3.42.99" + kDigits},
      /* no underscore after the account: check 0 */
      {"`h`c_42::" + kUuid, "\tcpu", "stream.3.42.0" + kDigits},
      /* low 32 bits of a wider account id */
      {"`h`c_4294967338_7::" + kUuid, "\tcpu", "stream.3.42.7" + kDigits},
      /* strtol's reading: blanks and a sign */
      {"`h`c_ -5_ +6::" + kUuid, "\tcpu", "stream.0.-5.6" + kDigits},
      /* unmapped account */
      {"`h`c_43_1::" + kUuid, "\tcpu", "stream.0.43.1" + kDigits},
      /* long check fields: the first backquote inside, the second past
       * the fourth TAB; both far in; none inside; a third ignored */
      {"x`" + kPad + kUuid, "\t`c_42_7", "stream.3.42.7" + kDigits},
      {kPad + "`h`c_42_7::" + kUuid, "\tcpu", "stream.3.42.7" + kDigits},
      {kPad + kUuid, "\t" + kPad + "`h`c_42_8", "stream.3.42.8" + kDigits},
      {"`a`" + kPad + "`c_42_7" + kUuid, "\tcpu", "stream.0.0.0" + kDigits},
      /* just inside the 64-bit range on either side: no saturation */
      {"`h`c_9223372036854775806_-9223372036854775807::" + kUuid, "\tcpu",
       "stream.0.-2.1" + kDigits},
  };
  for (const auto &c : cases) {
    auto r = route(payload_with(c.field4, c.rest));
    EXPECT_EQ(r.rc, ZORV_HOOK_DONE) << c.field4 << c.rest;
    EXPECT_EQ(r.key, c.key) << c.field4 << c.rest;
  }
}

TEST_F(KavalinRoute, DigitWalk) {
  /* 36 hex digits: only the first 32 are used, the last four bytes are not
   * examined (non-hex there does not refuse). */
  std::string hex36 = "0123456789abcdef0123456789abcdefZZZZ";
  auto r = route(payload_with(hex36));
  EXPECT_EQ(r.rc, ZORV_HOOK_DONE);
  EXPECT_EQ(r.key,
            "stream.0.0.0.0.1.2.3.4.5.6.7.8.9.a.b.c.d.e.f.0.1.2.3.4.5.6.7.8.9."
            "a.b.c.d.e.f");
  /* 36 hyphens: empty digit text, the key ends with the check id. */
  r = route(payload_with("`h`c_42_5" + std::string(36, '-')));
  EXPECT_EQ(r.key, "stream.3.42.5");
  /* Hyphens anywhere are skipped. */
  r = route(payload_with("0a1b2c3d4e5f4a6b8c7d9e0f1a2b3c4d----"));
  EXPECT_EQ(r.key, "stream.0.0.0" + kDigits);
  /* The usual hyphens and one more among the digits: 31 digits. */
  r = route(payload_with("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b-c4d"));
  EXPECT_EQ(r.key,
            "stream.0.0.0.0.a.1.b.2.c.3.d.4.e.5.f.4.a.6.b.8.c.7.d.9.e.0.f.1.a."
            "2.b.c.4.d");
}

TEST_F(KavalinRoute, AccountZeroMapped) {
  /* Account 0 is looked up too: map it and the first segment follows. */
  ASSERT_EQ(add_account_cluster_map(0, 9, nullptr), 1);
  auto r = route(payload_with(kUuid));
  EXPECT_EQ(r.key, "stream.9.0.0" + kDigits);
  /* Put account 0 back to unmapped for the other cases. */
  int64_t zero = 0;
  zorv_hash_delete(&account_map, &zero, sizeof(zero), nullptr,
                   zorv_memory_safe_free);
}

TEST_F(KavalinRoute, ShortBufferCutsTheKey) {
  std::string p = payload_with("ex`web01`c_42_1234::" + kUuid);
  std::string full = "stream.3.42.1234" + kDigits;
  for (size_t rlen : {1u, 2u, 7u, 20u}) {
    auto r = route(p, rlen);
    EXPECT_EQ(r.rc, ZORV_HOOK_DONE);
    EXPECT_EQ(r.key, full.substr(0, rlen - 1)) << rlen;
  }
  /* Exactly enough room, and room for all but the terminator. */
  EXPECT_EQ(route(p, full.size() + 1).key, full);
  EXPECT_EQ(route(p, full.size()).key, full.substr(0, full.size() - 1));
  /* rlen 0: nothing written at all, still DONE. */
  char guard = 'G';
  EXPECT_EQ(kavalin_alter_route(nullptr, p.data(), p.size(), "stream", &guard,
                                0),
            ZORV_HOOK_DONE);
  EXPECT_EQ(guard, 'G');
}

TEST_F(KavalinRoute, ReadsStopAtTheLastByte) {
  /* Payloads that end right where a search, a number or the marker would
   * want one more byte. Under AddressSanitizer any read past the block
   * aborts the test. */
  for (const std::string &p : {
           payload_with("`h`c_42" + kUuid, "\t`h`c_123456"),
           payload_with("`h`c_42_" + kUuid, "\t`"),
           payload_with("xx" + kUuid, "\t`"),
           payload_with("xx" + kUuid, "\t`x`c"),
           payload_with("xx" + kUuid, "\t`x`c_"),
           payload_with("xx" + kUuid, "\t`x`c_-"),
           payload_with("xx" + kUuid, "\t`x`c_9_"),
           payload_with("xx" + kUuid, "\t`x`c_99999999999999999999999"),
           std::string("M\t1\t2\t") + kUuid + "\t",
           std::string("\t\t\t"),
       }) {
    auto r = route(p);
    (void)r;
  }
  /* The number at the very end is read whole, and no further. */
  auto r = route(payload_with("xx" + kUuid, "\t`x`c_42_1234"));
  EXPECT_EQ(r.key, "stream.3.42.1234" + kDigits);
  /* 64-bit overflow saturates as strtol does, then keeps the low bits. */
  r = route(payload_with("xx" + kUuid, "\t`x`c_99999999999999999999999_-99999999999999999999"));
  EXPECT_EQ(r.key, "stream.0.-1.0" + kDigits);
}

}  // namespace
