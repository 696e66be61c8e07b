cmake_minimum_required(VERSION 3.25)
# The library as the jar carries it: stripped the way the Debian package strips it (so the
# two are the same file), and its SHA-256 beside it in sha256sum's format, which the loader
# checks every copy it extracts against.
#   cmake -DSTRIP=<strip program> -DLIBRARY=<built library> -DOUTPUT=<stripped copy> -P jar_native.cmake
foreach(variable STRIP LIBRARY OUTPUT)
  if(NOT ${variable})
    message(FATAL_ERROR "jar_native.cmake: ${variable} is not set")
  endif()
endforeach()
get_filename_component(folder ${OUTPUT} DIRECTORY)
get_filename_component(name ${OUTPUT} NAME)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${STRIP} -o ${OUTPUT} ${LIBRARY} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${STRIP} failed on ${LIBRARY}")
endif()
file(SHA256 ${OUTPUT} sum)
file(WRITE ${OUTPUT}.sha256 "${sum}  ${name}\n")
