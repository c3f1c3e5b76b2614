#pragma once

namespace folioxa {

// Whether this build runs under the address sanitizer (gcc or clang), whose runtime reserves
// terabytes of address space and reports on standard error.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizerBuild = true;
#else
inline constexpr bool kSanitizerBuild = false;
#endif
#else
inline constexpr bool kSanitizerBuild = false;
#endif

} // namespace folioxa
