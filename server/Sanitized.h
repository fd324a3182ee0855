// Whether this build runs under AddressSanitizer or ThreadSanitizer, whose runtimes need what the
// job's bounds take away (address space, pipes).
#pragma once

namespace qdo::server {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool SanitizedBuild = true;
#else
inline constexpr bool SanitizedBuild = false;
#endif
#else
inline constexpr bool SanitizedBuild = false;
#endif

} // namespace qdo::server
