# The oldest C library the deliverables load on. The programs a till runs (the library, the
# technician's tool, the virtual printer) are compiled against the headers of an older
# Debian release than this machine's and linked against its C library, kept in a folder of
# Debian packages (TILLPORT_FLOOR_SYSROOT; scripts/setup.sh makes it); libstdc++ goes in
# statically with its symbols hidden, so they need no libstdc++ on the till at all. Their
# newest glibc symbol is then at most that release's, and the package checks hold it at
# the floor. Test programs keep this machine's headers and libraries: they link umockdev
# and GoogleTest from this release.
#
#   tillport_floor(TARGET [LINK])  compiles TARGET's own sources against the floor; with
#                                  LINK also links it there (executables, shared objects)
set(TILLPORT_FLOOR_SYSROOT "" CACHE PATH "Folder of the oldest supported release's C library and libusb (empty: build against this machine's)")

if(TILLPORT_FLOOR_SYSROOT)
  if(NOT EXISTS ${TILLPORT_FLOOR_SYSROOT}.stamp)
    message(FATAL_ERROR "${TILLPORT_FLOOR_SYSROOT} is missing or unfinished: run scripts/setup.sh")
  endif()
  set(floor_triplet ${CMAKE_LIBRARY_ARCHITECTURE})
  # The compiler's own headers (libstdc++ and its builtin ones) stay; the C library's and the
  # kernel's come from the floor. The cross compilers put their own release's C headers
  # before any sysroot, so the standard search is turned off and given again in full.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
                  OUTPUT_QUIET ERROR_VARIABLE floor_search RESULT_VARIABLE floor_result)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                  OUTPUT_VARIABLE floor_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT floor_result EQUAL 0 OR NOT floor_search MATCHES "search starts here:\n(.*)\nEnd of search list")
    message(FATAL_ERROR "Cannot read the include search list of ${CMAKE_CXX_COMPILER}")
  endif()
  string(REPLACE "\n" ";" floor_dirs "${CMAKE_MATCH_1}")
  set(floor_compile_options -nostdinc)
  foreach(dir ${floor_dirs})
    string(STRIP "${dir}" dir)
    if(dir MATCHES "/c\\+\\+/")
      list(APPEND floor_compile_options "-isystem${dir}")
    endif()
  endforeach()
  foreach(dir ${floor_gcc_include} ${TILLPORT_FLOOR_SYSROOT}/usr/include/${floor_triplet}
              ${TILLPORT_FLOOR_SYSROOT}/usr/include ${TILLPORT_FLOOR_SYSROOT}/usr/include/libusb-1.0)
    list(APPEND floor_compile_options "-isystem${dir}")
  endforeach()
  # The floor's start files, C library and libgcc_s come first; its libpthread carries
  # what libstdc++'s threads need before glibc 2.34.
  set(floor_link_options --sysroot=${TILLPORT_FLOOR_SYSROOT}
      -B${TILLPORT_FLOOR_SYSROOT}/usr/lib/${floor_triplet}/
      -L${TILLPORT_FLOOR_SYSROOT}/lib/${floor_triplet} -L${TILLPORT_FLOOR_SYSROOT}/usr/lib/${floor_triplet}
      -static-libstdc++ -pthread)
  message(STATUS "Deliverables built against ${TILLPORT_FLOOR_SYSROOT}")
endif()

function(tillport_floor target)
  if(NOT TILLPORT_FLOOR_SYSROOT)
    return()
  endif()
  target_compile_options(${target} PRIVATE ${floor_compile_options})
  if(ARGN STREQUAL "LINK")
    target_link_options(${target} PRIVATE ${floor_link_options})
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/compat/StaticLibstdcxx.cpp)
  endif()
endfunction()
