# Under clang, proves that the locking annotations of platform/sync.h are
# checked: guarded data read under its lock compiles, read without it does not.
# Without this a change that quietly turned the annotations off would pass.
function(kestrel_check_thread_safety)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    return()
  endif()
  foreach(case locked_read unlocked_read)
    try_compile(${case}_compiles ${CMAKE_BINARY_DIR}/thread-safety-check/${case}
                SOURCES ${PROJECT_SOURCE_DIR}/cmake/thread_safety/${case}.cpp
                COMPILE_DEFINITIONS -Wthread-safety -Werror -I${PROJECT_SOURCE_DIR}
                CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON
                OUTPUT_VARIABLE ${case}_output)
  endforeach()
  if(NOT locked_read_compiles)
    message(FATAL_ERROR "A locked read of guarded data does not compile:\n${locked_read_output}")
  endif()
  if(unlocked_read_compiles)
    message(FATAL_ERROR "An unlocked read of guarded data compiles: the locking annotations are not checked.")
  endif()
  message(STATUS "Locking annotations are checked")
endfunction()
