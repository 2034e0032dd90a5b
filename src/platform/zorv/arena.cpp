// Arenas: chunks from mmap, never unmapped.
//
// A chunk is placed on a 2 MiB boundary so that all of it can be backed by
// transparent huge pages once MADV_HUGEPAGE is given; a kernel without THP
// (or with it switched off) refuses the advice and the chunk simply stays on
// ordinary pages. Only touched pages become resident either way, so the
// unused tail of the current chunk costs address space, not memory (at most
// one huge page of it once touched).

#include "zorv/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "populate.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kDefaultChunk = size_t{64} << 20;

size_t round_up(size_t v, size_t to) { return (v + to - 1) / to * to; }

// A mapping of `bytes` (a multiple of kHugePage) starting on a kHugePage
// boundary, or NULL.
char *map_chunk(size_t bytes) {
  const size_t over = bytes + kHugePage;
  void *raw = mmap(nullptr, over, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  // Give back the slack before and after the aligned range.
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = aligned + bytes;
  const uintptr_t raw_end = start + over;
  if (raw_end > tail) munmap(reinterpret_cast<void *>(tail), raw_end - tail);
  char *chunk = reinterpret_cast<char *>(aligned);
  zorv_advise_huge_pages(chunk, bytes);
#if defined(__SANITIZE_ADDRESS__)
  // Blocks here hold the only pointers to heap memory (a check's element
  // table, say); the leak checker must scan them like the heap.
  __lsan_register_root_region(chunk, bytes);
#endif
  return chunk;
}

// The first bytes of every chunk: what releasing the arena walks.
struct ChunkHead {
  ChunkHead *prev;
  size_t bytes;
};

// Populating ahead: the stretch [_end, _end + _ahead) is asked for whenever
// the fast path's end moves, so the writer finds its next pages in place.
void ask_ahead(zorv_arena *arena) {
  char *want = arena->_end + std::min<size_t>(
      arena->_ahead, static_cast<size_t>(arena->_chunk_end - arena->_end));
  char *from = std::max(arena->_asked, arena->_end);
  if (want > from) zorv::populate::ask(from, want);
  arena->_asked = std::max(arena->_asked, want);
}

// Where the fast path stops for a block ending at `used`: the chunk's end,
// or populating ahead, the end of the 2 MiB stretch that holds it.
char *fast_path_end(const zorv_arena *arena, char *used) {
  if (arena->_ahead == 0) return arena->_chunk_end;
  const uintptr_t stretch =
      round_up(reinterpret_cast<uintptr_t>(used), kHugePage);
  return std::min(reinterpret_cast<char *>(stretch), arena->_chunk_end);
}

}  // namespace

extern "C" void zorv_advise_huge_pages(void *p, size_t bytes) {
#ifdef MADV_HUGEPAGE
  const uintptr_t start = round_up(reinterpret_cast<uintptr_t>(p), kHugePage);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(uintptr_t{kHugePage} - 1);
  // EINVAL without THP support is the quiet fallback.
  if (end > start) (void)madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

extern "C" void zorv_arena_populate_ahead(zorv_arena *arena, size_t bytes) {
  arena->_ahead = round_up(bytes, kHugePage);
  if (arena->_chunks == nullptr) return;
  arena->_end = fast_path_end(arena, arena->_next);
  if (arena->_ahead != 0) ask_ahead(arena);
}

extern "C" void *zorv_arena_alloc_slow(zorv_arena *arena, size_t size,
                                       size_t align) {
  if (align == 0 || (align & (align - 1)) != 0 || align > 4096) return nullptr;
  if (size > SIZE_MAX - kHugePage * 2) return nullptr;
  if (arena->_next != nullptr && arena->_end < arena->_chunk_end) {
    // Only a stretch ends here: the block may still fit in the chunk.
    const uintptr_t p =
        round_up(reinterpret_cast<uintptr_t>(arena->_next), align);
    if (p <= reinterpret_cast<uintptr_t>(arena->_chunk_end) &&
        size <= reinterpret_cast<uintptr_t>(arena->_chunk_end) - p) {
      arena->_next = reinterpret_cast<char *>(p + size);
      arena->_end = fast_path_end(arena, arena->_next);
      ask_ahead(arena);
      return reinterpret_cast<void *>(p);
    }
  }
  size_t chunk = arena->_chunk_size != 0 ? arena->_chunk_size : kDefaultChunk;
  chunk = round_up(chunk, kHugePage);
  // A block larger than a chunk gets a chunk of its own size; blocks start
  // behind the chunk's head, at their alignment (at most 4096, and a chunk
  // starts on a huge-page boundary).
  const size_t head = round_up(sizeof(ChunkHead), align);
  if (size + head > chunk) chunk = round_up(size + head, kHugePage);
  char *c = map_chunk(chunk);
  if (c == nullptr) return nullptr;
  auto *h = reinterpret_cast<ChunkHead *>(c);
  h->prev = static_cast<ChunkHead *>(arena->_chunks);
  h->bytes = chunk;
  arena->_chunks = h;
  arena->_mapped += chunk;
  arena->_next = c + head + size;
  arena->_chunk_end = c + chunk;
  arena->_asked = arena->_next;
  arena->_end = fast_path_end(arena, arena->_next);
  if (arena->_ahead != 0) ask_ahead(arena);
  return c + head;
}

extern "C" void zorv_arena_release(zorv_arena *arena) {
  // The populating thread may be inside a chunk about to go.
  if (arena->_ahead != 0) zorv::populate::quiesce();
  auto *h = static_cast<ChunkHead *>(arena->_chunks);
  while (h != nullptr) {
    ChunkHead *prev = h->prev;
#if defined(__SANITIZE_ADDRESS__)
    __lsan_unregister_root_region(h, h->bytes);
#endif
    munmap(h, h->bytes);
    h = prev;
  }
  const size_t chunk_size = arena->_chunk_size, ahead = arena->_ahead;
  *arena = zorv_arena{};
  arena->_chunk_size = chunk_size;
  arena->_ahead = ahead;
}

extern "C" void zorv_arena_reset(zorv_arena *arena) {
  auto *h = static_cast<ChunkHead *>(arena->_chunks);
  if (h == nullptr || h->prev != nullptr) {
    zorv_arena_release(arena);
    return;
  }
  // One chunk: keep its mapping (and its huge pages, whose first touch is
  // the dear part) and zero what was handed out, so that blocks read as
  // zero again.
  char *first = reinterpret_cast<char *>(h + 1);
  std::memset(first, 0, static_cast<size_t>(arena->_next - first));
  arena->_next = first;
  arena->_end = fast_path_end(arena, first);
}
