# Debian package of the library for this build's processor (CPack, DEB generator) and, on the
# development host, the jar with CommonComPort and its sources jar.
#
#   cmake --build <dir> --target package_payload
#   cpack --config <dir>/CPackConfig.cmake -B <output dir>
#
# scripts/package.sh does both for all three processors. Only the install rules of the
# component "deb" go into the package.

set(TILLPORT_PACKAGE_NAME libtillportcomm)
set(TILLPORT_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# Debian architecture and multiarch triplet for each library tag.
set(TILLPORT_DEB_ARCH_X64 amd64)
set(TILLPORT_DEB_ARCH_ARM32 armhf)
set(TILLPORT_DEB_ARCH_ARM64 arm64)
set(TILLPORT_MULTIARCH_X64 x86_64-linux-gnu)
set(TILLPORT_MULTIARCH_ARM32 arm-linux-gnueabihf)
set(TILLPORT_MULTIARCH_ARM64 aarch64-linux-gnu)
set(TILLPORT_DEB_ARCH ${TILLPORT_DEB_ARCH_${TILLPORT_TAG}})
set(TILLPORT_MULTIARCH ${TILLPORT_MULTIARCH_${TILLPORT_TAG}})

# The top entry of the Debian changelog gives the package version (upstream-revision) and
# the maintainer, as dpkg-parsechangelog would; the upstream part must be the version the
# library reports in its log and the project's version.
set(TILLPORT_CHANGELOG ${TILLPORT_PACKAGING_DIR}/changelog)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${TILLPORT_CHANGELOG} ${CMAKE_SOURCE_DIR}/src/tillportcomm.cpp
             ${TILLPORT_PACKAGING_DIR}/tillportcomm.1)
file(STRINGS ${TILLPORT_CHANGELOG} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^${TILLPORT_PACKAGE_NAME} \\(([0-9][0-9A-Za-z.+~]*)-([0-9A-Za-z.+~]+)\\) ")
  message(FATAL_ERROR "${TILLPORT_CHANGELOG}: first line is not '${TILLPORT_PACKAGE_NAME} (<version>-<revision>) ...'")
endif()
set(TILLPORT_UPSTREAM_VERSION ${CMAKE_MATCH_1})
set(TILLPORT_DEB_REVISION ${CMAKE_MATCH_2})
file(STRINGS ${TILLPORT_CHANGELOG} changelog_trailers REGEX "^ -- ")
list(GET changelog_trailers 0 changelog_trailer)
if(NOT changelog_trailer MATCHES "^ -- (.+ <[^>]+>)  ")
  message(FATAL_ERROR "${TILLPORT_CHANGELOG}: no maintainer line ' -- Name <address>  date'")
endif()
set(TILLPORT_MAINTAINER ${CMAKE_MATCH_1})
file(STRINGS ${CMAKE_SOURCE_DIR}/src/tillportcomm.cpp library_version_line REGEX "kVersion = \"")
if(NOT library_version_line MATCHES "kVersion = \"([^\"]+)\"")
  message(FATAL_ERROR "src/tillportcomm.cpp: kVersion not found")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL TILLPORT_UPSTREAM_VERSION OR NOT PROJECT_VERSION STREQUAL TILLPORT_UPSTREAM_VERSION)
  message(FATAL_ERROR "Versions disagree: library ${CMAKE_MATCH_1}, project ${PROJECT_VERSION}, "
                      "Debian changelog ${TILLPORT_UPSTREAM_VERSION}: add a changelog entry")
endif()

# Debian's hardening for the shipped library: fortified libc calls where sizes are known at
# compile time (that needs optimisation, so not in Debug builds) and a GOT that is read-only
# once the library is loaded.
target_compile_definitions(tillportcomm_objects PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
target_link_options(tillportcomm PRIVATE -Wl,-z,relro -Wl,-z,now)

# Files of the package: the library where the JVM looks for JNI libraries, the udev rule,
# the documents Debian asks for (changelog compressed without name or time stamp).
install(TARGETS tillportcomm
        LIBRARY DESTINATION lib/${TILLPORT_MULTIARCH}/jni
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT deb)
install(FILES ${TILLPORT_PACKAGING_DIR}/60-tillportcomm.rules DESTINATION lib/udev/rules.d COMPONENT deb)
set(TILLPORT_DEB_DOCS ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${TILLPORT_DEB_DOCS})
execute_process(COMMAND gzip -9 -n -c ${TILLPORT_CHANGELOG}
                OUTPUT_FILE ${TILLPORT_DEB_DOCS}/changelog.Debian.gz RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${TILLPORT_CHANGELOG}")
endif()
configure_file(${TILLPORT_PACKAGING_DIR}/README.Debian.in ${TILLPORT_DEB_DOCS}/README.Debian @ONLY)
install(FILES ${TILLPORT_PACKAGING_DIR}/copyright ${TILLPORT_DEB_DOCS}/changelog.Debian.gz
              ${TILLPORT_DEB_DOCS}/README.Debian
        DESTINATION share/doc/${TILLPORT_PACKAGE_NAME} COMPONENT deb)

# The library as the jar carries it, in this tree's natives/linux-<processor>/: the package's
# own stripped file and its SHA-256. The host's jar takes those of all three processors' trees.
set(TILLPORT_JAR_FOLDER_X64 linux-x86_64)
set(TILLPORT_JAR_FOLDER_ARM32 linux-arm)
set(TILLPORT_JAR_FOLDER_ARM64 linux-aarch64)
set(TILLPORT_JAR_NATIVE
    ${CMAKE_BINARY_DIR}/natives/${TILLPORT_JAR_FOLDER_${TILLPORT_TAG}}/libtillportcomm${TILLPORT_TAG}.so)
add_custom_command(
  OUTPUT ${TILLPORT_JAR_NATIVE} ${TILLPORT_JAR_NATIVE}.sha256
  COMMAND ${CMAKE_COMMAND} -DSTRIP=${CMAKE_STRIP} -DLIBRARY=$<TARGET_FILE:tillportcomm>
          -DOUTPUT=${TILLPORT_JAR_NATIVE} -P ${CMAKE_SOURCE_DIR}/cmake/jar_native.cmake
  DEPENDS tillportcomm ${CMAKE_SOURCE_DIR}/cmake/jar_native.cmake
  COMMENT "Stripping libtillportcomm${TILLPORT_TAG}.so for the jar")
add_custom_target(jar_native DEPENDS ${TILLPORT_JAR_NATIVE} ${TILLPORT_JAR_NATIVE}.sha256)

# Everything the package (and on the host, the jar) needs, without the test programs.
add_custom_target(package_payload DEPENDS tillportcomm jar_native)
# cpack installs without building first; package_payload is built before it instead.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The technician's tool goes in as /usr/bin/tillportcomm, hardened like the library, when
# this tree has it; checked once the whole tree is configured, wherever the target is defined.
function(tillport_package_tool)
  if(TARGET tillportcomm_tool)
    target_compile_definitions(tillportcomm_tool PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    target_link_options(tillportcomm_tool PRIVATE -Wl,-z,relro -Wl,-z,now)
    install(TARGETS tillportcomm_tool RUNTIME DESTINATION bin COMPONENT deb)
    set(manual ${CMAKE_BINARY_DIR}/packaging/tillportcomm.1.gz)
    execute_process(COMMAND gzip -9 -n -c ${TILLPORT_PACKAGING_DIR}/tillportcomm.1 OUTPUT_FILE ${manual}
                    RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${TILLPORT_PACKAGING_DIR}/tillportcomm.1")
    endif()
    install(FILES ${manual} DESTINATION share/man/man1 COMPONENT deb)
    add_dependencies(package_payload tillportcomm_tool)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tillport_package_tool)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TILLPORT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${TILLPORT_UPSTREAM_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TILLPORT_DEB_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TILLPORT_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TILLPORT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "JNI library that connects a Java service to receipt printers
The native side of the Java class
orvik.services.posprinterPortComm.CommonComPort: it opens a receipt printer
on USB (libusb-1.0), an RS-232 line or TCP, writes the bytes the Java service
gives it and returns the printer's answers.

The library is installed where the Java virtual machine's System.loadLibrary
finds it. A udev rule gives the group lp access to the USB printers; serial
lines need the group dialout.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TILLPORT_PACKAGING_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};deb;/")
# dpkg-shlibdeps takes the target's architecture from the environment: it then searches the
# target's multiarch directories, reads the :armhf/:arm64 packages' symbols files and runs
# the cross objdump.
set(TILLPORT_CPACK_ENVIRONMENT ${CMAKE_BINARY_DIR}/packaging/cpack_environment.cmake)
file(CONFIGURE OUTPUT ${TILLPORT_CPACK_ENVIRONMENT} CONTENT "set(ENV{DEB_HOST_ARCH} ${TILLPORT_DEB_ARCH})\n")
set(CPACK_PROJECT_CONFIG_FILE ${TILLPORT_CPACK_ENVIRONMENT})
include(CPack)

# The jar: CommonComPort as compiled for the build, a manifest that grants native access to
# applications launched from it, and the libraries of all three processors, so that a till
# without the Debian package needs nothing else; beside it the sources jar and the pom that
# gives it Maven coordinates. Java classes serve every processor, so only the host build
# makes them. The ARM libraries come from the arm32 and arm64 presets' trees: build their
# package_payload first (scripts/package.sh builds the three in that order).
if(NOT CMAKE_CROSSCOMPILING)
  set(TILLPORT_JAR_TREES "${CMAKE_SOURCE_DIR}/build/arm32;${CMAKE_SOURCE_DIR}/build/arm64" CACHE STRING
      "Build trees of the other processors whose libraries (natives/ there) the jar carries")
  set(TILLPORT_JAR_DIR ${CMAKE_BINARY_DIR}/jar)
  set(TILLPORT_JAR ${TILLPORT_JAR_DIR}/tillportcomm-${TILLPORT_UPSTREAM_VERSION}.jar)
  set(TILLPORT_SOURCES_JAR ${TILLPORT_JAR_DIR}/tillportcomm-${TILLPORT_UPSTREAM_VERSION}-sources.jar)
  set(TILLPORT_MANIFEST ${TILLPORT_JAR_DIR}/MANIFEST.MF)
  file(CONFIGURE OUTPUT ${TILLPORT_MANIFEST} CONTENT
    "Implementation-Title: tillportcomm
Implementation-Version: ${TILLPORT_UPSTREAM_VERSION}
Automatic-Module-Name: orvik.services.posprinterPortComm
Enable-Native-Access: ALL-UNNAMED
")
  # Maven coordinates: the library's version, no dependencies (the natives are inside).
  set(TILLPORT_MAVEN_GROUP orvik.services)
  set(TILLPORT_MAVEN_ARTIFACT tillportcomm)
  file(CONFIGURE OUTPUT ${TILLPORT_JAR_DIR}/pom.xml CONTENT [[
<?xml version="1.0" encoding="UTF-8"?>
<project xmlns="http://maven.apache.org/POM/4.0.0" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
         xsi:schemaLocation="http://maven.apache.org/POM/4.0.0 https://maven.apache.org/xsd/maven-4.0.0.xsd">
  <modelVersion>4.0.0</modelVersion>
  <groupId>@TILLPORT_MAVEN_GROUP@</groupId>
  <artifactId>@TILLPORT_MAVEN_ARTIFACT@</artifactId>
  <version>@TILLPORT_UPSTREAM_VERSION@</version>
  <packaging>jar</packaging>
  <name>tillportcomm</name>
  <description>Java class orvik.services.posprinterPortComm.CommonComPort and its native library for Linux on 32-bit ARM, 64-bit ARM and x86-64: receipt printers on USB, RS-232 and TCP.</description>
  <licenses>
    <license>
      <name>proprietary</name>
      <comments>All rights reserved. No licence to copy, modify or redistribute this software is granted except by written agreement with the copyright holder.</comments>
    </license>
  </licenses>
</project>
]] @ONLY)
  set(class_file orvik/services/posprinterPortComm/CommonComPort.class)
  file(RELATIVE_PATH source_file ${JAVA_SOURCE_DIR} ${JAVA_MAIN_SOURCE})
  # Packed at every build of the target, since the ARM libraries are other trees' files.
  add_custom_target(tillportcomm_jar
    COMMAND ${CMAKE_COMMAND} -DJAR=${JAR_EXECUTABLE} -DOUTPUT=${TILLPORT_JAR} -DMANIFEST=${TILLPORT_MANIFEST}
            -DCLASSES=${JAVA_CLASSES_DIR} "-DTREES=${CMAKE_BINARY_DIR};${TILLPORT_JAR_TREES}"
            "-DFOLDERS=${TILLPORT_JAR_FOLDER_X64};${TILLPORT_JAR_FOLDER_ARM32};${TILLPORT_JAR_FOLDER_ARM64}"
            -DSTAGING=${TILLPORT_JAR_DIR}/staging -P ${CMAKE_SOURCE_DIR}/cmake/pack_jar.cmake
    DEPENDS ${JAVA_CLASSES_DIR}/${class_file} ${TILLPORT_MANIFEST} ${TILLPORT_SOURCES_JAR}
    COMMENT "Packing tillportcomm-${TILLPORT_UPSTREAM_VERSION}.jar with the libraries of all three processors"
    VERBATIM)
  add_dependencies(tillportcomm_jar jar_native)
  add_custom_command(
    OUTPUT ${TILLPORT_SOURCES_JAR}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${TILLPORT_SOURCES_JAR}
    COMMAND ${JAR_EXECUTABLE} --create --file ${TILLPORT_SOURCES_JAR} -C ${JAVA_SOURCE_DIR} ${source_file}
    DEPENDS ${JAVA_MAIN_SOURCE}
    COMMENT "Packing tillportcomm-${TILLPORT_UPSTREAM_VERSION}-sources.jar")
  add_dependencies(package_payload tillportcomm_jar)
endif()

# Checks of what scripts/package.sh delivers to build/packages (the presets' build trees
# under build/ give the ARM libraries to compare with): each package's files, library and
# Depends; the newest symbol versions its programs need; the jars; the amd64 package
# installed, used by the demo and purged (root only); each ARM package loaded by an ARM JVM
# on an emulated ARM machine, where this tree has them.
# They skip, with a message, until the packages are built. Only the plain host build
# runs them: the packages carry its library.
function(tillport_add_package_tests)
  set(packages_dir ${CMAKE_SOURCE_DIR}/build/packages)
  set(deb_version ${TILLPORT_UPSTREAM_VERSION}-${TILLPORT_DEB_REVISION})
  set(checks ${CMAKE_SOURCE_DIR}/tests/package)
  set(jar ${packages_dir}/tillportcomm-${TILLPORT_UPSTREAM_VERSION}.jar)
  set(demo_classes ${CMAKE_BINARY_DIR}/java/demo-classes)
  set(built_library_amd64 $<TARGET_FILE:tillportcomm>)
  set(built_library_armhf ${CMAKE_SOURCE_DIR}/build/arm32/libtillportcommARM32.so)
  set(built_library_arm64 ${CMAKE_SOURCE_DIR}/build/arm64/libtillportcommARM64.so)
  set(built_printer_armhf ${CMAKE_SOURCE_DIR}/build/arm32/tools/virtual_printer)
  set(built_printer_arm64 ${CMAKE_SOURCE_DIR}/build/arm64/tools/virtual_printer)
  foreach(arch amd64 armhf arm64)
    set(deb ${packages_dir}/${TILLPORT_PACKAGE_NAME}_${deb_version}_${arch}.deb)
    add_test(NAME package.deb.${arch}
      COMMAND bash ${checks}/check_deb.sh ${deb} ${arch} ${built_library_${arch}} ${deb_version}
              $<TARGET_EXISTS:tillportcomm_tool>)
    add_test(NAME package.floor.${arch} COMMAND bash ${checks}/check_symbol_floor.sh ${deb} ${arch})
    if(arch STREQUAL amd64)
      add_test(NAME package.install.amd64
        COMMAND bash ${checks}/install_run_purge.sh ${deb} ${jar} ${demo_classes}
                $<TARGET_FILE:virtual_printer> ${deb_version})
      set_tests_properties(package.install.amd64 PROPERTIES RESOURCE_LOCK dpkg TIMEOUT 600)
    else()
      add_test(NAME package.arm_jvm.${arch}
        COMMAND bash ${checks}/arm_machine_load.sh ${arch} ${deb} ${jar} ${demo_classes} ${deb_version}
                ${built_printer_${arch}})
      set_tests_properties(package.arm_jvm.${arch} PROPERTIES TIMEOUT 600)
    endif()
  endforeach()
  add_test(NAME package.jar
    COMMAND bash ${checks}/check_jar.sh ${jar} ${packages_dir}/tillportcomm-${TILLPORT_UPSTREAM_VERSION}-sources.jar
            ${TILLPORT_UPSTREAM_VERSION} ${JAVA_MAIN_SOURCE} ${packages_dir}/pom.xml ${deb_version})
  add_test(NAME package.jar_load
    COMMAND bash ${checks}/jar_load.sh ${jar} ${demo_classes} $<TARGET_FILE:virtual_printer>)
  add_test(NAME package.maven
    COMMAND bash ${checks}/maven_install.sh ${packages_dir} ${TILLPORT_UPSTREAM_VERSION} ${CMAKE_BINARY_DIR})
  get_property(package_tests DIRECTORY PROPERTY TESTS)
  list(FILTER package_tests INCLUDE REGEX "^package\\.")
  set_tests_properties(${package_tests} PROPERTIES LABELS package SKIP_RETURN_CODE 77)
  # The ARM packages' checks in the emulated machines: scripts/test.sh runs them while the
  # machine of their processor is up for its own suites.
  set_tests_properties(package.arm_jvm.armhf package.arm_jvm.arm64 PROPERTIES LABELS "package;machine")
endfunction()
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING AND NOT TILLPORT_SANITIZE AND NOT TILLPORT_TSAN)
  tillport_add_package_tests()
endif()
