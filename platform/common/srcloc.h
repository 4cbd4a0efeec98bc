// The place in the source that a fault or a check names: `SrcLoc`, taken as
// a defaulted argument (`const SrcLoc& where = SrcLoc::current()`) so the
// caller's file, line and function are filled in.
//
// It is SrcLoc where the standard library offers it. The
// fuzzing build compiles with clang 14, whose front end cannot serve
// libstdc++'s SrcLoc; there the same interface is built on the
// compiler builtins that both compilers share.
#pragma once

#include <cstdint>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
using SrcLoc = std::source_location;
#else
class SrcLoc {
 public:
  static constexpr SrcLoc current(const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
                                  std::uint_least32_t line = __builtin_LINE()) noexcept {
    SrcLoc here;
    here.file_ = file;
    here.function_ = function;
    here.line_ = line;
    return here;
  }
  constexpr SrcLoc() noexcept = default;
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
};
#endif
