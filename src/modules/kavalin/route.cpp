/* Routing-key rewriting: check messages are routed by swimlane, account,
 * check and check UUID.
 *
 * Runs once per routed message on the host's routing threads: no
 * allocation, fixed buffers only, byte searches bounded by the payload (the
 * payload need not end in NUL; no byte past payload_len is ever read). */
#include <string.h>

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

/* The ".d" pairs of a UUID text in the canonical layout, or false when it
 * has another (the caller then takes the byte-by-byte walk, which gives the
 * same pairs for this layout). Every position is fixed: the 32 digits are
 * gathered into four 8-byte words, checked 16 at a time and interleaved
 * with dots, so nothing waits on a byte-by-byte chain. */
#if defined(__SSE2__)
uint64_t load64(const char *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
uint64_t load32(const char *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

/* All-ones in each byte that is '0'-'9' or 'a'-'f'. */
__m128i lower_hex_bytes(__m128i v) {
  const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  const __m128i h = _mm_sub_epi8(v, _mm_set1_epi8('a'));
  return _mm_or_si128(
      _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d),
      _mm_cmpeq_epi8(_mm_min_epu8(h, _mm_set1_epi8(5)), h));
}

bool canonical_uuid_digits(const char *u, char *digits) {
  if (u[8] != '-' || u[13] != '-' || u[18] != '-' || u[23] != '-') {
    return false;
  }
  const __m128i lo = _mm_set_epi64x(
      static_cast<long long>(load32(u + 9) | load32(u + 14) << 32),
      static_cast<long long>(load64(u)));
  const __m128i hi = _mm_set_epi64x(
      static_cast<long long>(load64(u + 28)),
      static_cast<long long>(load32(u + 19) | load32(u + 24) << 32));
  const __m128i ok = _mm_and_si128(lower_hex_bytes(lo), lower_hex_bytes(hi));
  if (_mm_movemask_epi8(ok) != 0xffff) return false;
  const __m128i dots = _mm_set1_epi8('.');
  auto *out = reinterpret_cast<__m128i *>(digits);
  _mm_storeu_si128(out, _mm_unpacklo_epi8(dots, lo));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(dots, lo));
  _mm_storeu_si128(out + 2, _mm_unpacklo_epi8(dots, hi));
  _mm_storeu_si128(out + 3, _mm_unpackhi_epi8(dots, hi));
  return true;
}
#else
constexpr int kDigitAt[MAX_DIGITS] = {0,  1,  2,  3,  4,  5,  6,  7,
                                      9,  10, 11, 12, 14, 15, 16, 17,
                                      19, 20, 21, 22, 24, 25, 26, 27,
                                      28, 29, 30, 31, 32, 33, 34, 35};

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
#endif

/* strtol's base-10 reading, bounded by end: white space, one sign, digits;
 * a value beyond 64 bits saturates as strtol does. The caller keeps the low
 * 32 bits. *stop is set to a byte no later than the first one after the
 * number (exactly that byte when the number was read whole). The overflow test compares against the limit's leading digits
 * instead of dividing for every digit. */
int64_t read_decimal(const char *p, const char *end, const char **stop) {
  *stop = p;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    p++;
  }
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  const uint64_t limit_tens = limit / 10;
  const unsigned limit_units = static_cast<unsigned>(limit % 10);
  uint64_t value = 0;
  if (end - p >= 8) {
    /* The first eight bytes at once: how many lead with a digit, then
     * those digits' value, with no branch per digit. A byte is a digit
     * when its high nibble is 3 both as it stands and plus 6. A carry
     * (from a byte of 0xfa or more, itself no digit) only reaches bytes
     * after the digits, and so do borrows from the subtraction. */
    uint64_t w;
    memcpy(&w, p, sizeof w);
    constexpr uint64_t kHigh = 0xf0f0f0f0f0f0f0f0, kThrees = 0x3030303030303030;
    const uint64_t other = ((w & kHigh) ^ kThrees) |
                           (((w + 0x0606060606060606) & kHigh) ^ kThrees);
    const int n = other ? __builtin_ctzll(other) / 8 : 8;
    *stop = p + n;
    if (n == 0) return 0;
    /* The n digits to the top bytes, zeros (leading digits) below them;
     * then pairs, fours and eights are combined by multiplication. */
    uint64_t v = (w - kThrees) << (8 * (8 - n));
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000ff000000ff) * (100 + (uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000ff000000ff) * (1 + (uint64_t{10000} << 32)))) >> 32;
    if (n < 8) return negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    value = v;  // eight digits and maybe more: the rest one at a time
    p += 8;
  }
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > limit_tens || (value == limit_tens && digit > limit_units)) {
      value = limit;  // further digits change nothing
      break;
    }
    value = value * 10 + digit;
  }
  *stop = p;
  return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int32_t low32(int64_t v) { return static_cast<int32_t>(v); }

/* Appends "." and v in decimal at p; returns the end. The length is known
 * before the first digit is written, so the digits go straight to their
 * places (no scratch copy of variable size). */
char *put_dot_int(char *p, int32_t v) {
  *p++ = '.';
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  if (v < 0) *p++ = '-';
  const int n = 1 + (u >= 10) + (u >= 100) + (u >= 1000) + (u >= 10000) +
                (u >= 100000) + (u >= 1000000) + (u >= 10000000) +
                (u >= 100000000) + (u >= 1000000000);
  char *q = p + n;
  do {
    *--q = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  return p + n;
}

const char *tab_or_backquote_bytes(const char *p, const char *end) {
  for (; p < end; p++) {
    if (*p == '\t' || *p == '`') return p;
  }
  return nullptr;
}

#if defined(__x86_64__)
/* All-ones in each byte of the 32 at q that is a TAB or a backquote, with
 * one shuffle and one compare: the shuffle looks each byte's low nibble up
 * in a table that holds the backquote (0x60) at 0, the TAB at 9 and zero
 * elsewhere, and a byte is a hit when it equals what it looked up. A zero
 * byte is no hit (its nibble 0 gives 0x60), nor is any byte with its top
 * bit set (the shuffle then gives zero). */
__attribute__((target("avx2"))) inline __m256i tab_or_backquote_hits(
    const char *q) {
  const __m256i table = _mm256_setr_epi8(
      '`', 0, 0, 0, 0, 0, 0, 0, 0, '\t', 0, 0, 0, 0, 0, 0,  //
      '`', 0, 0, 0, 0, 0, 0, 0, 0, '\t', 0, 0, 0, 0, 0, 0);
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q));
  return _mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(table, v));
}

__attribute__((target("avx2"))) inline uint32_t tab_or_backquote_mask(
    const char *q) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(tab_or_backquote_hits(q)));
}

__attribute__((target("avx2"))) const char *tab_or_backquote_avx2(
    const char *begin, const char *p, const char *end) {
  // One unaligned look at the first 32 bytes; after it the loads start on
  // 32-byte boundaries, so none of them straddles two cache lines (which
  // made the scan half as fast again).
  if (end - p >= 160) {
    if (uint32_t m = tab_or_backquote_mask(p)) return p + __builtin_ctz(m);
    p = reinterpret_cast<const char *>(
        (reinterpret_cast<uintptr_t>(p) + 32) & ~uintptr_t{31});
  }
  // 128 bytes a round, tested once; the hit is then located 32 at a time.
  while (end - p >= 128) {
    const __m256i any = _mm256_or_si256(
        _mm256_or_si256(tab_or_backquote_hits(p), tab_or_backquote_hits(p + 32)),
        _mm256_or_si256(tab_or_backquote_hits(p + 64),
                        tab_or_backquote_hits(p + 96)));
    if (!_mm256_testz_si256(any, any)) break;
    p += 128;
  }
  for (; end - p >= 32; p += 32) {
    if (uint32_t m = tab_or_backquote_mask(p)) return p + __builtin_ctz(m);
  }
  if (p == end) return nullptr;
  if (end - begin >= 32) {
    const char *q = end - 32;
    const uint32_t m = tab_or_backquote_mask(q) >> (p - q);
    return m ? p + __builtin_ctz(m) : nullptr;
  }
  return tab_or_backquote_bytes(p, end);
}

const bool kHaveAvx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

/* The first TAB or backquote in [p, end), or NULL. One pass finds both the
 * end of the check field and the start of its id marker. begin <= p is
 * where the payload starts: a last short stretch is read with one load
 * that reaches back before p, never before begin nor past end. */
const char *tab_or_backquote(const char *begin, const char *p,
                             const char *end) {
#if defined(__x86_64__)
  if (kHaveAvx2) return tab_or_backquote_avx2(begin, p, end);
#endif
  (void)begin;
  const void *tab = memchr(p, '\t', static_cast<size_t>(end - p));
  const char *stop = tab ? static_cast<const char *>(tab) : end;
  const void *bq = memchr(p, '`', static_cast<size_t>(stop - p));
  return static_cast<const char *>(bq ? bq : tab);
}

/* The byte after the third TAB when the first 32 bytes hold three TABs,
 * else NULL (the caller then searches the usual way). */
#if defined(__x86_64__)
__attribute__((target("avx2"))) const char *first_three_tabs_avx2(
    const char *p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  uint32_t m = static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'))));
  m &= m - 1;  // past the first TAB
  m &= m - 1;  // and the second
  return m ? p + __builtin_ctz(m) + 1 : nullptr;
}
#endif

const char *first_three_tabs(const char *p, const char *end) {
#if defined(__x86_64__)
  if (kHaveAvx2 && end - p >= 32) return first_three_tabs_avx2(p);
#endif
  (void)p;
  (void)end;
  return nullptr;
}

const char *find_byte(const char *p, const char *end, char c) {
  return static_cast<const char *>(memchr(p, c, static_cast<size_t>(end - p)));
}

}  // namespace

zorv_hook_return_t kavalin_alter_route(void *, const char *payload,
                                       size_t payload_len,
                                       const char *routingprefix,
                                       char *routingkey, size_t rlen) {
  if (payload == nullptr || payload_len == 0) return ZORV_HOOK_CONTINUE;
  const char *end = payload + payload_len;

  /* Field 4 lies between the third and the fourth TAB. The first three
   * fields are short as a rule: one look at the first 32 bytes usually
   * finds all three TABs. */
  const char *field4 = first_three_tabs(payload, end);
  if (field4 == nullptr) {
    field4 = payload;
    for (int i = 0; i < 3; i++) {
      field4 = find_byte(field4, end, '\t');
      if (field4 == nullptr) return ZORV_HOOK_CONTINUE;
      field4++;
    }
  }

  /* One pass over field 4 finds its end and the backquotes of the id
   * marker, `...`c_<account>..._<check>, that lie inside it: a check field
   * is often long, and reading it once for the TAB and again for the
   * marker doubled the cost. The marker's searches run to the end of the
   * payload, not of field 4, so backquotes not found inside it are looked
   * for past the fourth TAB. */
  const char *bq1 = nullptr;
  const char *bq2 = nullptr;
  const char *field4_end = field4;
  for (;;) {
    field4_end = bq2 ? find_byte(field4_end, end, '\t')
                     : tab_or_backquote(payload, field4_end, end);
    if (field4_end == nullptr) return ZORV_HOOK_CONTINUE;
    if (*field4_end == '\t') break;
    (bq1 ? bq2 : bq1) = field4_end;
    field4_end++;
  }
  size_t len = static_cast<size_t>(field4_end - field4);
  if (len < UUID_TEXT_LEN) return ZORV_HOOK_CONTINUE;

  int32_t account = 0;
  int32_t check = 0;
  if (len > UUID_TEXT_LEN) {
    if (bq1 == nullptr) bq1 = find_byte(field4_end + 1, end, '`');
    if (bq1 != nullptr && bq2 == nullptr) {
      const char *from = bq1 > field4_end ? bq1 + 1 : field4_end + 1;
      bq2 = find_byte(from, end, '`');
    }
    if (bq2 != nullptr && end - bq2 > 2 && bq2[1] == 'c' && bq2[2] == '_') {
      const char *ids = bq2 + 3;
      const char *stop;
      account = low32(read_decimal(ids, end, &stop));
      /* Blanks, a sign and digits hold no underscore: when one follows
       * the number, it is the first after "c_" (the usual c_42_1234). */
      const char *us = stop < end && *stop == '_' ? stop : find_byte(ids, end, '_');
      if (us != nullptr) check = low32(read_decimal(us + 1, end, &stop));
    }
  }

  /* The lookup goes first: it has no effect besides its answer, and the
   * digit work below then overlaps its wait for the table. */
  const int32_t swimlane =
      get_cluster_id_from_account(static_cast<int64_t>(account));

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

  /* "%s.%d.%d.%d%s", cut off at rlen - 1 bytes. Everything after the
   * prefix has a bounded size: with room for all of it, it is written in
   * place; otherwise it is built aside and the part that fits copied. */
  constexpr size_t kTailMax = 3 * 12 + 2 * MAX_DIGITS;  // ids, then digits
  if (rlen == 0) return ZORV_HOOK_DONE;
  size_t room = rlen - 1;
  const size_t plen = strnlen(routingprefix, room);
  memcpy(routingkey, routingprefix, plen);
  room -= plen;
  char tail[kTailMax];
  char *t0 = room >= kTailMax ? routingkey + plen : tail;
  char *t = put_dot_int(t0, swimlane);
  t = put_dot_int(t, account);
  t = put_dot_int(t, check);
  // Fixed-size copy: a few vector moves, where a variable length would cost
  // a call. The bytes past the digits lie inside the room checked above.
  memcpy(t, digits, 2 * MAX_DIGITS);
  t += 2 * ndigits;
  size_t tlen = static_cast<size_t>(t - t0);
  if (t0 == tail) {
    if (tlen > room) tlen = room;
    memcpy(routingkey + plen, tail, tlen);
  }
  routingkey[plen + tlen] = '\0';
  return ZORV_HOOK_DONE;
}
