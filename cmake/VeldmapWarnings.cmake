# Warnings live on a target that our own code links, not on the whole build, so third-party
# headers pulled in by tests and benchmarks do not decide what we call clean.
add_library(veldmap_warnings INTERFACE)
target_compile_options(veldmap_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  $<$<BOOL:${VELDMAP_WERROR}>:-Werror>)
option(VELDMAP_WERROR "Treat warnings as errors" OFF)
