# What `cmake --install` puts where: the header, the library, a CMake package
# (find_package(velkor) gives velkor::doduzerez), a pkg-config file (velkor),
# drova and drova-sim; the Windows build adds the .def and an import library
# that MSVC links. On Linux the library is libdoduzerez.so.<version> with the
# links libdoduzerez.so.<major> (its SONAME) and libdoduzerez.so. drova's man
# page and completion come with drova (cmake/drova_option_docs.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/include/Vevara_Rovo_dar.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS doduzerez
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET drova)
  install(TARGETS drova drova-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(velkor_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/velkor)
if(WIN32)
  set(VELKOR_INSTALLED_LIBRARY ${CMAKE_INSTALL_BINDIR}/doduzerez.dll)
  set(VELKOR_GNU_IMPORT_LIBRARY ${CMAKE_INSTALL_LIBDIR}/libdoduzerez.dll.a)
  set(VELKOR_MSVC_IMPORT_LIBRARY ${CMAKE_INSTALL_LIBDIR}/doduzerez.lib)

  # MSVC's import library, made from the generated .def. An i386 C name gets a
  # leading underscore in the object files (_Initialize is __Initialize there),
  # which dlltool adds by default for i386; the DLL exports the names as listed.
  find_program(VELKOR_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool REQUIRED)
  set(velkor_def ${PROJECT_BINARY_DIR}/src/doduzerez.def)
  set(velkor_msvc_implib ${PROJECT_BINARY_DIR}/doduzerez.lib)
  add_custom_command(OUTPUT ${velkor_msvc_implib}
    COMMAND ${VELKOR_DLLTOOL} -m i386 -d ${velkor_def} -D doduzerez.dll -l ${velkor_msvc_implib}
    DEPENDS ${velkor_def}
    COMMENT "Making the MSVC import library doduzerez.lib")
  add_custom_target(velkor_msvc_import_library ALL DEPENDS ${velkor_msvc_implib})
  install(FILES ${velkor_def} ${velkor_msvc_implib} DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  set(VELKOR_INSTALLED_LIBRARY ${CMAKE_INSTALL_LIBDIR}/libdoduzerez.so.${PROJECT_VERSION})
  set(VELKOR_LIBRARY_SONAME libdoduzerez.so.${PROJECT_VERSION_MAJOR})
  set(VELKOR_GNU_IMPORT_LIBRARY "")
  set(VELKOR_MSVC_IMPORT_LIBRARY "")
endif()

# The host-side sources (the consistency check's tree, the synchronous layer).
set(VELKOR_SOURCE_DIR ${CMAKE_INSTALL_DATADIR}/velkor)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velkorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velkorConfig.cmake
  INSTALL_DESTINATION ${velkor_cmake_dir}
  PATH_VARS VELKOR_INSTALLED_LIBRARY VELKOR_GNU_IMPORT_LIBRARY VELKOR_MSVC_IMPORT_LIBRARY CMAKE_INSTALL_INCLUDEDIR
            VELKOR_SOURCE_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velkorConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velkorConfig.cmake ${PROJECT_BINARY_DIR}/velkorConfigVersion.cmake
  DESTINATION ${velkor_cmake_dir})

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH VELKOR_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/velkor.pc.in ${PROJECT_BINARY_DIR}/velkor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
