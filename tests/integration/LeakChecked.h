// Whether this build runs LeakSanitizer in the server's jobs. GT.M ended by a stop in the
// middle of its work (a lock held or waited for, a transaction open) leaves memory of its own
// behind, which LeakSanitizer reports at the job's end with status 1: the listener then takes
// the job for unclean and marks the databases for recovery.
#pragma once

namespace qdo::test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool LeakChecked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool LeakChecked = true;
#else
inline constexpr bool LeakChecked = false;
#endif
#else
inline constexpr bool LeakChecked = false;
#endif

} // namespace qdo::test
