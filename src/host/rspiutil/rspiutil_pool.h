// rspiutil_pool.h - the memory behind every record and string of librspiutil.
//
// Hosts and the plug-in allocate and release host records in bursts (a
// listing hangs two blocks per entry on a list and the walk replaces two
// strings per entry), so small blocks come from per-thread free lists carved
// from 64 KiB slabs instead of the general heap. Blocks of up to 256 bytes are
// kept for reuse after release and are never handed back to the system;
// larger ones go to malloc and back. Builds with AddressSanitizer, and builds
// with TOLV_PLAIN_MALLOC defined, use malloc for everything so the tools see
// every block; the CMake option TOLV_RSPIUTIL_ALLOCATOR=mimalloc|malloc puts
// mimalloc or malloc in its place, for measuring.
#ifndef TOLV_RSPIUTIL_POOL_H
#define TOLV_RSPIUTIL_POOL_H

#include <cstddef>

namespace rspiutil::pool {

// size bytes (a unique block for 0), 16-byte aligned, zero-filled when zero
// is set; null when memory runs out.
[[nodiscard]] void *allocate(std::size_t size, bool zero) noexcept;

// Releases a block from allocate; null is ignored.
void release(void *p) noexcept;

}  // namespace rspiutil::pool

#endif  // TOLV_RSPIUTIL_POOL_H
