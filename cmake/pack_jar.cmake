cmake_minimum_required(VERSION 3.25)
# Packs the jar: CommonComPort's classes, the manifest, and the libraries of every processor
# under natives/linux-<processor>/, each with its SHA-256, taken from the build trees that
# made them (each tree's natives/ folder, made by its package_payload target).
#   cmake -DJAR=<jar program> -DOUTPUT=<jar> -DMANIFEST=<manifest> -DCLASSES=<classes folder>
#         -DTREES=<build trees> -DFOLDERS=<natives folders the jar must have> -DSTAGING=<scratch folder>
#         -P pack_jar.cmake
file(REMOVE_RECURSE ${STAGING})
file(MAKE_DIRECTORY ${STAGING}/natives)
set(found "")
foreach(tree ${TREES})
  file(GLOB libraries ${tree}/natives/linux-*/libtillportcomm*.so)
  foreach(library ${libraries})
    get_filename_component(folder ${library} DIRECTORY)
    get_filename_component(folder ${folder} NAME)
    if(NOT EXISTS ${library}.sha256)
      message(FATAL_ERROR "${library} has no SHA-256 beside it")
    endif()
    file(SHA256 ${library} sum)
    file(STRINGS ${library}.sha256 recorded LIMIT_COUNT 1)
    if(NOT recorded MATCHES "^${sum}  ")
      message(FATAL_ERROR "${library} does not match ${library}.sha256: rebuild its package_payload")
    endif()
    file(COPY ${library} ${library}.sha256 DESTINATION ${STAGING}/natives/${folder})
    list(APPEND found ${folder})
  endforeach()
endforeach()
foreach(folder ${FOLDERS})
  if(NOT folder IN_LIST found)
    message(FATAL_ERROR "No library for natives/${folder} in ${TREES}: the jar carries every "
                        "processor's library, so build the host, arm32 and arm64 presets' "
                        "package_payload first (scripts/package.sh does)")
  endif()
endforeach()
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${JAR} --create --file ${OUTPUT} --manifest ${MANIFEST}
                        -C ${CLASSES} orvik -C ${STAGING} natives
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "jar failed to pack ${OUTPUT}")
endif()
file(REMOVE_RECURSE ${STAGING})
