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
 * valid empty arena. */
#ifndef ZORV_ARENA_H
#define ZORV_ARENA_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef struct zorv_arena {
  char *_next;         /* first free byte of the current chunk */
  char *_end;          /* end of the current chunk */
  size_t _mapped;      /* bytes obtained from the system, all chunks */
  size_t _chunk_size;  /* 0: the default (64 MiB) */
  void *_chunks;       /* the latest chunk; each links to the one before */
} zorv_arena;
#define ZORV_ARENA_ZERO {0, 0, 0, 0, 0}

/* Opens a new chunk that holds at least size bytes at the given alignment
 * and allocates from it; NULL when the system has no memory. The rest of the
 * old chunk is left unused. Callers use zorv_arena_alloc. */
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

/* Bytes the arena has obtained from the system (address space; what is
 * resident is what has been touched). */
static inline size_t zorv_arena_mapped(const zorv_arena *arena) {
  return arena->_mapped;
}

ZORV_EXTERN_C_END

#endif
