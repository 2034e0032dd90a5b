/* Arenas: memory that is never freed, handed out sequentially from large
 * chunks.
 *
 * For data that lives as long as the process and is read by lock-free
 * readers (a block from an arena never moves and is never reused, so a
 * pointer into it stays valid without a bracket of its own). An allocation
 * carries no header: consecutive blocks lie back to back, up to the
 * requested alignment. Chunks are asked for as transparent huge pages where
 * the kernel offers them, which spares millions of small blocks one page
 * fault per 4 KiB; where it does not, they are ordinary pages.
 *
 * Not thread-safe: one arena per writer, or the caller serialises (the
 * check tag store allocates under its write lock). A zero-filled arena is a
 * valid empty arena.
 *
 * Populating ahead: the first write to a fresh page makes the kernel zero
 * it, and for an arena filled at speed that zeroing can cost more than the
 * writing. An arena given zorv_arena_populate_ahead() has a background
 * thread fault in the stretch just ahead of its next block, so the owner
 * mostly writes to pages already there; the fast path stops at the end of
 * each 2 MiB stretch (_end) and the slow path moves that end on and asks
 * for the next stretch. Resident memory then runs ahead of use by at most
 * the distance given. Where the kernel cannot populate on request, nothing
 * is asked and pages are faulted in as they are first written. */
#ifndef ZORV_ARENA_H
#define ZORV_ARENA_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef struct zorv_arena {
  char *_next;         /* first free byte of the current chunk */
  char *_end;          /* where the fast path stops: _chunk_end, or the end
                          of the current stretch when populating ahead */
  char *_chunk_end;    /* end of the current chunk */
  char *_asked;        /* populating ahead: end of what has been asked for */
  size_t _mapped;      /* bytes obtained from the system, all chunks */
  size_t _chunk_size;  /* 0: the default (64 MiB) */
  size_t _ahead;       /* 0: no populating ahead; else its distance */
  void *_chunks;       /* the latest chunk; each links to the one before */
} zorv_arena;
#define ZORV_ARENA_ZERO {0, 0, 0, 0, 0, 0, 0, 0}

/* Has a background thread keep about `bytes` (rounded up to whole 2 MiB
 * stretches; 0 turns it off) populated ahead of the arena's next block.
 * Best set before the first allocation. */
void zorv_arena_populate_ahead(zorv_arena *arena, size_t bytes);

/* Opens a new chunk (or, populating ahead, the next stretch of this one)
 * that holds at least size bytes at the given alignment and allocates from
 * it; NULL when the system has no memory. The rest of an old chunk is left
 * unused. Callers use zorv_arena_alloc. */
void *zorv_arena_alloc_slow(zorv_arena *arena, size_t size, size_t align);

/* size bytes aligned to align (a power of two, at most 4096), never freed;
 * NULL when out of memory. The memory reads as zero until written. */
static inline void *zorv_arena_alloc(zorv_arena *arena, size_t size,
                                     size_t align) {
  uintptr_t p = ((uintptr_t)arena->_next + (align - 1)) & ~(uintptr_t)(align - 1);
  if (arena->_next != NULL && p <= (uintptr_t)arena->_end &&
      size <= (uintptr_t)arena->_end - p) {
    arena->_next = (char *)(p + size);
    return (void *)p;
  }
  return zorv_arena_alloc_slow(arena, size, align);
}

/* Gives every chunk back to the system and leaves the arena empty (and
 * usable). Only for an owner that knows no pointer into it is still used:
 * tests and fuzzing, which rebuild their data from scratch. */
void zorv_arena_release(zorv_arena *arena);

/* Like zorv_arena_release, but an arena of one chunk keeps it, zeroed for
 * reuse: for owners that empty and refill it often (fuzzing). */
void zorv_arena_reset(zorv_arena *arena);

/* Offers the whole 2 MiB stretches inside [p, p + bytes) to transparent
 * huge pages: for big blocks read at random places (one page walk per
 * access on ordinary pages), arena chunks or a large table from malloc.
 * Advice only: a kernel without huge pages refuses quietly, and the memory
 * stays what it was (malloc memory is freed as usual). */
void zorv_advise_huge_pages(void *p, size_t bytes);

/* Bytes the arena has obtained from the system (address space; what is
 * resident is what has been touched). */
static inline size_t zorv_arena_mapped(const zorv_arena *arena) {
  return arena->_mapped;
}

ZORV_EXTERN_C_END

#endif
