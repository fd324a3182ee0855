// Bounds a job's memory, so that a client's M code cannot grow its job without end.
//
// GT.M keeps strings in a string pool that it grows by doubling and copying; past its limit
// ($ZSTRPLLIM, from the environment variable gtm_string_pool_limit) it still grows once and then
// raises STPCRIT, an M error after which the job goes on. Local arrays of numbers and other
// private memory are not in the pool: a limit on the process's private writable memory
// (RLIMIT_DATA) bounds those, as a backstop past which GT.M ends the job (%GTM-F-MEMORY).
// RLIMIT_DATA rather than RLIMIT_AS: a job also maps each database's shared memory (about 65 MiB
// per namespace it opens, with this server's data directories), which is no client's doing.
#pragma once

#include <cstddef>

namespace qdo::server {

// The string pool's limit for a job of `maxMiB` MiB: a quarter of it, so that the pool's last
// growth (old and new pool side by side, three times the pool before it) fits in the backstop.
size_t StringPoolLimit(size_t maxMiB);

// Puts gtm_string_pool_limit into the environment; must run before GT.M starts.
void LimitStringPool(size_t maxMiB);

// Limits this process's private writable memory to what it uses now plus `maxMiB` MiB (and room
// for the stacks of the job's threads, which start later). Does nothing in a build with a
// sanitizer, whose shadow memory counts against the limit.
void LimitPrivateMemory(size_t maxMiB);

} // namespace qdo::server
