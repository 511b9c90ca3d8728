# Shared target helpers: warnings (as errors with KESTREL_WERROR) on our code,
# one static library per subsystem folder, and one GoogleTest executable per
# test file.

# Clang also checks the locking annotations of platform/sync.h.
function(kestrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>
                                           $<$<BOOL:${KESTREL_WERROR}>:-Werror>)
endfunction()

# kestrel_subsystem(NAME DEPS...): a static library of every .cpp in the
# current folder; the repository root is the include root ("wallet/keys.h").
function(kestrel_subsystem name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN})
  kestrel_warnings(${name})
endfunction()
