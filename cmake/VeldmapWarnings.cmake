# Warnings live on a target that our own code links, not on the whole build, so third-party
# headers pulled in by tests and benchmarks do not decide what we call clean.
add_library(veldmap_warnings INTERFACE)
target_compile_options(veldmap_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  # The sampler's face test joins its comparisons with a non-short-circuit & on purpose (four
  # cheap tests beat a mispredicted branch each); clang reads every such & as a mistyped &&.
  $<$<CXX_COMPILER_ID:Clang>:-Wno-bitwise-instead-of-logical>
  $<$<BOOL:${VELDMAP_WERROR}>:-Werror>)
option(VELDMAP_WERROR "Treat warnings as errors" OFF)
