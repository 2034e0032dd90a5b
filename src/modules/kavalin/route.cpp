/* Routing-key rewriting: check messages are routed by swimlane, account,
 * check and check UUID.
 *
 * Runs once per routed message on the host's routing threads: no
 * allocation, fixed buffers only, byte searches bounded by the payload (the
 * payload need not end in NUL; no byte past payload_len is ever read). */
#include <string.h>

#include <array>

#include "internal.h"

namespace {

constexpr size_t UUID_TEXT_LEN = 36;
constexpr int MAX_DIGITS = 32;

/* What a byte of the UUID text is: a digit (counted), a hyphen (skipped)
 * or anything else (the message is refused). */
constexpr uint8_t kHyphen = 0, kDigit = 1, kReject = 2;
constexpr auto kUuidByteClass = [] {
  std::array<uint8_t, 256> t{};
  for (auto &v : t) v = kReject;
  for (int c = '0'; c <= '9'; c++) t[c] = kDigit;
  for (int c = 'a'; c <= 'f'; c++) t[c] = kDigit;
  t['-'] = kHyphen;
  return t;
}();

/* The canonical UUID layout: hyphens at 8, 13, 18 and 23, and where its
 * 32 digits sit. */
constexpr int kDigitAt[MAX_DIGITS] = {0,  1,  2,  3,  4,  5,  6,  7,
                                      9,  10, 11, 12, 14, 15, 16, 17,
                                      19, 20, 21, 22, 24, 25, 26, 27,
                                      28, 29, 30, 31, 32, 33, 34, 35};

/* The ".d" pairs of a UUID text in the canonical layout, or false when it
 * has another (the caller then takes the byte-by-byte walk, which gives the
 * same pairs for this layout). Every position is fixed, so the 32 loads,
 * tests and stores do not wait on one another. */
bool canonical_uuid_digits(const char *u, char *digits) {
  if (u[8] != '-' || u[13] != '-' || u[18] != '-' || u[23] != '-') {
    return false;
  }
  uint8_t bad = 0;
  for (int k = 0; k < MAX_DIGITS; k++) {
    const unsigned char c = static_cast<unsigned char>(u[kDigitAt[k]]);
    bad |= kUuidByteClass[c] ^ kDigit;
    digits[2 * k] = '.';
    digits[2 * k + 1] = static_cast<char>(c);
  }
  return bad == 0;
}

/* strtol's base-10 reading, bounded by end: white space, one sign, digits;
 * a value beyond 64 bits saturates as strtol does. The caller keeps the low
 * 32 bits. */
int64_t read_decimal(const char *p, const char *end) {
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    p++;
  }
  uint64_t value = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  bool overflow = false;
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (!overflow && (value > (limit - digit) / 10)) overflow = true;
    if (!overflow) value = value * 10 + digit;
  }
  if (overflow) value = limit;
  return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int32_t low32(int64_t v) { return static_cast<int32_t>(v); }

/* Appends "." and v in decimal at p; returns the end. */
char *put_dot_int(char *p, int32_t v) {
  *p++ = '.';
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  if (v < 0) *p++ = '-';
  char buf[10];
  char *q = buf + sizeof(buf);
  do {
    *--q = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  const size_t n = static_cast<size_t>(buf + sizeof(buf) - q);
  memcpy(p, q, n);
  return p + n;
}

}  // namespace

zorv_hook_return_t kavalin_alter_route(void *, const char *payload,
                                       size_t payload_len,
                                       const char *routingprefix,
                                       char *routingkey, size_t rlen) {
  if (payload == nullptr || payload_len == 0) return ZORV_HOOK_CONTINUE;
  const char *end = payload + payload_len;

  /* Field 4 lies between the third and the fourth TAB. */
  const char *tab = payload;
  const char *field4 = nullptr;
  for (int i = 0; i < 3; i++) {
    tab = static_cast<const char *>(memchr(tab, '\t', end - tab));
    if (tab == nullptr) return ZORV_HOOK_CONTINUE;
    tab++;
  }
  field4 = tab;
  const char *field4_end =
      static_cast<const char *>(memchr(field4, '\t', end - field4));
  if (field4_end == nullptr) return ZORV_HOOK_CONTINUE;
  size_t len = static_cast<size_t>(field4_end - field4);
  if (len < UUID_TEXT_LEN) return ZORV_HOOK_CONTINUE;

  /* The id marker: `...`c_<account>..._<check>. The searches run to the end
   * of the payload, not of field 4. */
  int32_t account = 0;
  int32_t check = 0;
  if (len > UUID_TEXT_LEN) {
    const char *bq1 =
        static_cast<const char *>(memchr(field4, '`', end - field4));
    const char *bq2 =
        bq1 ? static_cast<const char *>(memchr(bq1 + 1, '`', end - (bq1 + 1)))
            : nullptr;
    if (bq2 != nullptr && end - bq2 > 2 && bq2[1] == 'c' && bq2[2] == '_') {
      const char *ids = bq2 + 3;
      account = low32(read_decimal(ids, end));
      const char *us =
          static_cast<const char *>(memchr(ids, '_', end - ids));
      if (us != nullptr) check = low32(read_decimal(us + 1, end));
    }
  }

  /* The UUID's hex digits, one ".d" each; upper case refuses the message.
   * The canonical layout takes the fixed-position path; any other (or one
   * that path refuses) the walk, where one table lookup per byte classifies
   * it and the "." written for every byte is overwritten by the next
   * digit's, so a hyphen costs nothing. */
  char digits[2 * MAX_DIGITS + 2] = {};
  int ndigits = 0;
  if (canonical_uuid_digits(field4_end - UUID_TEXT_LEN, digits)) {
    ndigits = MAX_DIGITS;
  }
  for (const char *p = field4_end - UUID_TEXT_LEN;
       p < field4_end && ndigits < MAX_DIGITS; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const uint8_t cls = kUuidByteClass[c];
    if (cls == kReject) return ZORV_HOOK_CONTINUE;
    digits[2 * ndigits] = '.';
    digits[2 * ndigits + 1] = static_cast<char>(c);
    ndigits += cls;  // kDigit is 1, kHyphen 0
  }

  int32_t swimlane = get_cluster_id_from_account(static_cast<int64_t>(account));

  /* "%s.%d.%d.%d%s", cut off at rlen - 1 bytes. Everything after the
   * prefix has a bounded size, so it is built here and copied once. */
  char tail[3 * 12 + 2 * MAX_DIGITS];  // ids at most 36 bytes, then digits
  char *t = put_dot_int(tail, swimlane);
  t = put_dot_int(t, account);
  t = put_dot_int(t, check);
  // Fixed-size copies: a few vector moves, where a variable length would
  // cost a call or a slow-starting string move.
  memcpy(t, digits, 2 * MAX_DIGITS);
  t += 2 * ndigits;
  if (rlen == 0) return ZORV_HOOK_DONE;
  size_t room = rlen - 1;
  const size_t plen = strnlen(routingprefix, room);
  memcpy(routingkey, routingprefix, plen);
  room -= plen;
  size_t tlen = static_cast<size_t>(t - tail);
  if (room >= sizeof(tail)) {
    memcpy(routingkey + plen, tail, sizeof(tail));
  } else {
    if (tlen > room) tlen = room;
    memcpy(routingkey + plen, tail, tlen);
  }
  routingkey[plen + tlen] = '\0';
  return ZORV_HOOK_DONE;
}
