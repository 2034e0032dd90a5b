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

#include <cstdint>
#include <cstring>

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
#ifdef MADV_HUGEPAGE
  // Advice only: EINVAL without THP support is the quiet fallback.
  (void)madvise(chunk, bytes, MADV_HUGEPAGE);
#endif
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

}  // namespace

extern "C" void *zorv_arena_alloc_slow(zorv_arena *arena, size_t size,
                                       size_t align) {
  if (align == 0 || (align & (align - 1)) != 0 || align > 4096) return nullptr;
  if (size > SIZE_MAX - kHugePage * 2) return nullptr;
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
  arena->_end = c + chunk;
  return c + head;
}

extern "C" void zorv_arena_release(zorv_arena *arena) {
  auto *h = static_cast<ChunkHead *>(arena->_chunks);
  while (h != nullptr) {
    ChunkHead *prev = h->prev;
#if defined(__SANITIZE_ADDRESS__)
    __lsan_unregister_root_region(h, h->bytes);
#endif
    munmap(h, h->bytes);
    h = prev;
  }
  const size_t chunk_size = arena->_chunk_size;
  *arena = zorv_arena{};
  arena->_chunk_size = chunk_size;
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
}
