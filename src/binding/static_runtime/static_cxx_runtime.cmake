# static_cxx_runtime(TARGET): links libstdc++ into the extension module, for
# wheels that must run on Linux distributions older than the build machine.
#
# What is left needs glibc 2.17 at most:
#   - libgcc stays shared: libgcc_s.so.1 is on every manylinux system, while
#     the static unwinder of GCC 12 calls _dl_find_object (glibc 2.35);
#   - --gc-sections drops the parts of libstdc++.a that nothing calls but
#     whose objects come along (std::random_device needs arc4random, 2.36);
#   - libc_single_threaded.cpp answers libstdc++'s question "one thread
#     only?" itself (glibc 2.32 has the variable), always with "no".
function(static_cxx_runtime target)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
    message(FATAL_ERROR "TESSELLON_STATIC_CXX_RUNTIME is for g++ or clang++ with libstdc++ on Linux")
  endif()
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/libc_single_threaded.cpp)
  target_link_options(${target} PRIVATE -static-libstdc++ "LINKER:--gc-sections")
endfunction()
