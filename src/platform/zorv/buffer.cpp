// Growable byte buffers with inline storage for short contents.
//
// Invariant: size > used, so there is always room for the NUL that follows
// the bytes in use; init, reset, add, add_printf and advance write it.

#include "zorv/buffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void die(const char *what) {
  std::fprintf(stderr, "[FATAL] dynamic buffer: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

bool on_heap(const zorv_dyn_buffer_t *buf) {
  return buf->data != buf->inline_storage;
}

// Grows the capacity so that len more bytes and a NUL fit.
void reserve(zorv_dyn_buffer_t *buf, size_t len) {
  if (len > SIZE_MAX - 1 - buf->used) die("size overflow");
  size_t needed = buf->used + len + 1;
  if (needed <= buf->size) return;
  size_t size = buf->size;
  while (size < needed) size = size > SIZE_MAX / 2 ? needed : size * 2;
  char *data;
  if (on_heap(buf)) {
    data = static_cast<char *>(std::realloc(buf->data, size));
  } else {
    data = static_cast<char *>(std::malloc(size));
    if (data != nullptr) std::memcpy(data, buf->data, buf->used + 1);
  }
  if (data == nullptr) die("out of memory");
  buf->data = data;
  buf->size = size;
}

void terminate(zorv_dyn_buffer_t *buf) { buf->data[buf->used] = '\0'; }

}  // namespace

extern "C" {

void zorv_dyn_buffer_init(zorv_dyn_buffer_t *buf) {
  buf->data = buf->inline_storage;
  buf->size = sizeof(buf->inline_storage);
  buf->used = 0;
  terminate(buf);
}

void zorv_dyn_buffer_add(zorv_dyn_buffer_t *buf, const void *bytes,
                         size_t len) {
  if (len == 0) return;
  // The bytes may lie inside the buffer itself (appending a part of it);
  // growing moves the storage, so find them again by offset.
  const char *src = static_cast<const char *>(bytes);
  const uintptr_t at = reinterpret_cast<uintptr_t>(src);
  const uintptr_t base = reinterpret_cast<uintptr_t>(buf->data);
  const bool inside = at >= base && at < base + buf->size;
  const size_t offset = inside ? at - base : 0;
  reserve(buf, len);
  if (inside) src = buf->data + offset;
  std::memmove(buf->data + buf->used, src, len);
  buf->used += len;
  terminate(buf);
}

void zorv_dyn_buffer_add_printf(zorv_dyn_buffer_t *buf, const char *format,
                                ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  size_t room = buf->size - buf->used;
  int n = std::vsnprintf(buf->data + buf->used, room, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    terminate(buf);  // an encoding error adds nothing
    return;
  }
  if (static_cast<size_t>(n) >= room) {
    reserve(buf, static_cast<size_t>(n));
    std::vsnprintf(buf->data + buf->used, buf->size - buf->used, format,
                   again);
  }
  va_end(again);
  buf->used += static_cast<size_t>(n);
  terminate(buf);
}

void zorv_dyn_buffer_ensure(zorv_dyn_buffer_t *buf, size_t len) {
  reserve(buf, len);
}

char *zorv_dyn_buffer_data(zorv_dyn_buffer_t *buf) { return buf->data; }

size_t zorv_dyn_buffer_used(const zorv_dyn_buffer_t *buf) { return buf->used; }

char *zorv_dyn_buffer_write_pointer(zorv_dyn_buffer_t *buf) {
  return buf->data + buf->used;
}

void zorv_dyn_buffer_advance(zorv_dyn_buffer_t *buf, size_t len) {
  // Bytes past the capacity were never ensured; moving over them would
  // expose memory the buffer does not own.
  if (len >= buf->size - buf->used) die("advance past the ensured room");
  buf->used += len;
  terminate(buf);
}

void zorv_dyn_buffer_reset(zorv_dyn_buffer_t *buf) {
  buf->used = 0;
  terminate(buf);
}

void zorv_dyn_buffer_destroy(zorv_dyn_buffer_t *buf) {
  if (on_heap(buf)) std::free(buf->data);
  zorv_dyn_buffer_init(buf);
}

}  // extern "C"
