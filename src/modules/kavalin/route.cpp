/* Routing-key rewriting: check messages are routed by swimlane, account,
 * check and check UUID.
 *
 * Runs once per routed message on the host's routing threads: no
 * allocation, fixed buffers only, byte searches bounded by the payload (the
 * payload need not end in NUL; no byte past payload_len is ever read). */
#include <string.h>

#include "internal.h"

namespace {

constexpr size_t UUID_TEXT_LEN = 36;
constexpr int MAX_DIGITS = 32;

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

/* Writes at most cap - 1 bytes and always a terminator (when cap > 0),
 * cutting the key short like snprintf would. */
struct key_writer {
  char *out;
  size_t cap;
  size_t used = 0;

  void put(const char *s, size_t len) {
    if (cap == 0) return;
    size_t room = cap - 1 - used;
    size_t n = len < room ? len : room;
    memcpy(out + used, s, n);
    used += n;
  }
  void put_int(int32_t v) {
    char buf[12];
    char *p = buf + sizeof(buf);
    uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    do {
      *--p = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (v < 0) *--p = '-';
    put(p, static_cast<size_t>(buf + sizeof(buf) - p));
  }
  void finish() {
    if (cap > 0) out[used] = '\0';
  }
};

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

  /* The UUID's hex digits, one ".d" each; upper case refuses the message. */
  char digits[2 * MAX_DIGITS + 1];
  int ndigits = 0;
  for (const char *p = field4_end - UUID_TEXT_LEN;
       p < field4_end && ndigits < MAX_DIGITS; p++) {
    char c = *p;
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
      digits[2 * ndigits] = '.';
      digits[2 * ndigits + 1] = c;
      ndigits++;
    } else if (c != '-') {
      return ZORV_HOOK_CONTINUE;
    }
  }
  digits[2 * ndigits] = '\0';

  int32_t swimlane = get_cluster_id_from_account(static_cast<int64_t>(account));

  /* "%s.%d.%d.%d%s", cut off at rlen - 1 bytes. */
  key_writer w{routingkey, rlen};
  w.put(routingprefix, strlen(routingprefix));
  w.put(".", 1);
  w.put_int(swimlane);
  w.put(".", 1);
  w.put_int(account);
  w.put(".", 1);
  w.put_int(check);
  w.put(digits, static_cast<size_t>(2 * ndigits));
  w.finish();
  return ZORV_HOOK_DONE;
}
