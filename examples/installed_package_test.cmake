# Installs the build into a scratch prefix, then uses it as a host project
# would: examples/cmake_consumer through find_package(velkor), the same
# program through pkg-config, and the installed drova. The library is
# installed under its version with the usual links, and what links it loads
# it by its SONAME. The install goes through DESTDIR, as a package build's
# does: every file must land under DESTDIR and the prefix, and what names an
# installed path (drova-usbd's unit) names the one under the prefix.
cmake_policy(VERSION 3.25)
foreach(variable BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR C_COMPILER WITH_USBD)
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

set(install_prefix /opt/velkor-test)
set(destdir ${WORK_DIR}/destdir)
set(prefix ${destdir}${install_prefix})
file(REMOVE_RECURSE ${WORK_DIR})
run("install" ${CMAKE_COMMAND} -E env DESTDIR=${destdir} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${install_prefix})
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${destdir} ${destdir}/*)
string(REGEX REPLACE "^/" "" prefix_in_destdir ${install_prefix})
list(FILTER installed EXCLUDE REGEX "^${prefix_in_destdir}/")
if(installed)
  string(REPLACE ";" "\n  /" installed "${installed}")
  message(FATAL_ERROR "installed outside the prefix ${install_prefix}:\n  /${installed}")
endif()
if(WITH_USBD)
  foreach(file bin/drova-usbd lib/systemd/system/drova-usbd.service lib/udev/rules.d/70-drova-usbd.rules
               share/man/man1/drova-usbd.1)
    if(NOT EXISTS ${prefix}/${file})
      message(FATAL_ERROR "the install lacks ${file}")
    endif()
  endforeach()
  file(STRINGS ${prefix}/lib/systemd/system/drova-usbd.service exec_start REGEX "^ExecStart=")
  if(NOT exec_start STREQUAL "ExecStart=${install_prefix}/bin/drova-usbd")
    message(FATAL_ERROR "the unit starts '${exec_start}', not the daemon installed under ${install_prefix}")
  endif()
endif()
foreach(file include/Vevara_Rovo_dar.h lib/libdoduzerez.so lib/cmake/velkor/velkorConfig.cmake
             lib/cmake/velkor/velkorConfigVersion.cmake lib/pkgconfig/velkor.pc bin/drova bin/drova-sim
             share/velkor/firmware_tree.h share/velkor/firmware_tree.c share/velkor/velkor_sync.h
             share/velkor/velkor_sync.c share/velkor/velkor_sync_platform.h share/velkor/velkor_sync_posix.c
             share/velkor/velkor_sync_win32.c share/man/man1/drova.1
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
# velkor::sync compiles the installed layer into the host.
set(sync_said "erase: result 2, error 5: Not connected. Connect first.")
run("run the synchronous layer's consumer" ${WORK_DIR}/consumer/velkor_sync_consumer)
if(NOT output MATCHES "${sync_said}")
  message(FATAL_ERROR "the synchronous layer's consumer printed: ${output}")
endif()

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  set(pkg_config ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig ${PKG_CONFIG})
  run("pkg-config" ${pkg_config} --cflags --libs velkor)
  separate_arguments(flags UNIX_COMMAND "${output}")
  run("pkg-config libdir" ${pkg_config} --variable=libdir velkor)
  string(STRIP "${output}" libdir)
  # The README's ways for a pkg-config build to find libdoduzerez.so.0 at run
  # time outside the system's directories: a run path, or LD_LIBRARY_PATH;
  # with neither it must not start (the system does not know the prefix).
  # Rows: name | extra link flags | environment | starts
  set(rows
    "run path|-Wl,-rpath,${libdir}||1"
    "LD_LIBRARY_PATH||LD_LIBRARY_PATH=${libdir}|1"
    "neither|||0")
  foreach(row IN LISTS rows)
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 name)
    list(GET row 1 link_flags)
    list(GET row 2 environment)
    list(GET row 3 starts)
    string(MAKE_C_IDENTIFIER "pkg_consumer_${name}" program)
    run("compile with pkg-config (${name})" ${C_COMPILER} ${SOURCE_DIR}/cmake_consumer/main.c ${flags} ${link_flags}
        -o ${WORK_DIR}/${program})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${environment} ${WORK_DIR}/${program}
      RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(starts AND NOT status EQUAL 0)
      message(FATAL_ERROR "the pkg-config build with ${name} does not run (${status}):\n${output}")
    elseif(NOT starts AND NOT output MATCHES "libdoduzerez\\.so")
      message(FATAL_ERROR "the pkg-config build with ${name} ran (${status}) or failed for another reason:\n${output}")
    endif()
    list(APPEND consumers ${WORK_DIR}/${program})
  endforeach()
  # The synchronous layer from the sources pkg-config names.
  run("pkg-config sourcedir" ${pkg_config} --variable=sourcedir velkor)
  string(STRIP "${output}" sourcedir)
  run("compile the synchronous layer with pkg-config" ${C_COMPILER} ${SOURCE_DIR}/cmake_consumer/sync_main.c
      ${sourcedir}/velkor_sync.c ${sourcedir}/velkor_sync_posix.c -I${sourcedir} ${flags} -Wl,-rpath,${libdir} -lpthread
      -o ${WORK_DIR}/pkg_sync_consumer)
  run("run the synchronous layer built with pkg-config" ${WORK_DIR}/pkg_sync_consumer)
  if(NOT output MATCHES "${sync_said}")
    message(FATAL_ERROR "the synchronous layer built with pkg-config printed: ${output}")
  endif()
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
