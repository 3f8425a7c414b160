# Installs the build into a scratch prefix, then uses it as a host project
# would: examples/cmake_consumer through find_package(velkor), the same
# program through pkg-config, and the installed drova. The library is
# installed under its version with the usual links, and what links it loads
# it by its SONAME.
foreach(variable BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR C_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file include/Vevara_Rovo_dar.h lib/libdoduzerez.so lib/cmake/velkor/velkorConfig.cmake
             lib/cmake/velkor/velkorConfigVersion.cmake lib/pkgconfig/velkor.pc bin/drova bin/drova-sim
             share/velkor/firmware_tree.h share/velkor/firmware_tree.c share/man/man1/drova.1
             share/bash-completion/completions/drova share/zsh/site-functions/_drova)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "the install lacks ${file}")
  endif()
endforeach()

# libdoduzerez.so -> libdoduzerez.so.MAJOR -> libdoduzerez.so.VERSION, the
# version being the package's.
file(STRINGS ${prefix}/lib/pkgconfig/velkor.pc version REGEX "^Version: ")
string(REPLACE "Version: " "" version "${version}")
string(REGEX MATCH "^[0-9]+" major "${version}")
set(soname libdoduzerez.so.${major})
foreach(link_and_target libdoduzerez.so:${soname} ${soname}:libdoduzerez.so.${version})
  string(REPLACE ":" ";" link_and_target ${link_and_target})
  list(GET link_and_target 0 link)
  list(GET link_and_target 1 target)
  file(READ_SYMLINK ${prefix}/lib/${link} actual)
  if(NOT actual STREQUAL target)
    message(FATAL_ERROR "lib/${link} points at '${actual}', not ${target}")
  endif()
endforeach()
if(IS_SYMLINK ${prefix}/lib/libdoduzerez.so.${version})
  message(FATAL_ERROR "lib/libdoduzerez.so.${version} is a link, not the library")
endif()
find_program(OBJDUMP objdump REQUIRED)
# The dynamic section's entries of `binary` named `entry` (SONAME, NEEDED).
function(dynamic_entries binary entry)
  run("objdump ${binary}" ${OBJDUMP} -p ${binary})
  string(REGEX MATCHALL "\n +${entry} +[^\n]+" lines "${output}")
  string(REGEX REPLACE "\n +${entry} +" "" lines "${lines}")
  set(entries "${lines}" PARENT_SCOPE)
endfunction()
dynamic_entries(${prefix}/lib/libdoduzerez.so.${version} SONAME)
if(NOT entries STREQUAL soname)
  message(FATAL_ERROR "the library's SONAME is '${entries}', not ${soname}")
endif()

run("configure the consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/cmake_consumer -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER})
run("build the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run("run the consumer" ${WORK_DIR}/consumer/velkor_consumer)
if(NOT output MATCHES "KV47D00291, PC-FOS interface 01010000, error 5: Not connected. Connect first.")
  message(FATAL_ERROR "the consumer printed: ${output}")
endif()
set(consumers ${WORK_DIR}/consumer/velkor_consumer)

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig ${PKG_CONFIG} --cflags --libs velkor)
  separate_arguments(flags UNIX_COMMAND "${output}")
  run("compile with pkg-config" ${C_COMPILER} ${SOURCE_DIR}/cmake_consumer/main.c ${flags} -o ${WORK_DIR}/pkg_consumer)
  run("run the pkg-config build" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${WORK_DIR}/pkg_consumer)
  list(APPEND consumers ${WORK_DIR}/pkg_consumer)
endif()
foreach(consumer IN LISTS consumers)
  dynamic_entries(${consumer} NEEDED)
  list(FIND entries ${soname} at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${consumer} needs ${entries}, not ${soname}")
  endif()
endforeach()

# The installed tool finds the installed library and simulator on its own.
run("drova --version" ${prefix}/bin/drova --version)
string(FIND "${output}" "library: ${prefix}/" from_prefix)
if(from_prefix EQUAL -1 OR NOT output MATCHES "/${soname} \\(PC-FOS interface 1\\.1\\.0\\.0\\)")
  message(FATAL_ERROR "the installed drova printed: ${output}")
endif()
