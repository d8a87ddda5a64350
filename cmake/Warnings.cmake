# orvexa_warnings(target [RELAXED]): the warning set for our own code only;
# third-party headers come in as SYSTEM include directories and stay quiet.
# RELAXED (tests, benchmarks) leaves out -Wnull-dereference and
# -Wmaybe-uninitialized: GCC 12 reports false positives inside libstdc++'s
# shared_ptr, string and regex code there once optimised.
function(orvexa_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
  if(NOT "RELAXED" IN_LIST ARGN)
    target_compile_options(${target} PRIVATE -Wnull-dereference)
  else()
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  # GCC 12 reports impossible overlaps in libstdc++'s string concatenation at
  # -O3 (GCC bug 105329); the warning says nothing about our code there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(ORVEXA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
