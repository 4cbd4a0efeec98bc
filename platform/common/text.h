// Text conversions shared by the kernel and the user-mode libraries:
// UTF-8 (the platform's byte strings) and UTF-16 (Windows' wide strings).
#pragma once

#include <string>
#include <string_view>

namespace plat {

// A malformed UTF-8 sequence becomes U+FFFD.
std::u16string to_u16(std::string_view text);
// An unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::u16string_view text);

// Upper case of the ASCII letters only, as Windows compares names that are
// case-insensitive (registry keys, service names).
std::u16string fold_case(std::u16string_view text);
bool equal_folded(std::u16string_view a, std::u16string_view b);

}  // namespace plat
