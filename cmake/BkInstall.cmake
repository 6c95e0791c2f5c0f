# The release: what `cmake --install` puts into the install tree, and the ZIP
# package of it (one per arch, named with the version and the arch). The
# stand-ins of the client's own components are not part of it.
#   bin/      bkrestore.dll, objcore.dll with the GCC runtime DLLs, bkrtool.exe
#   lib/      the mingw import libraries (lib*.dll.a) and bkrestore.lib for
#             Visual C++, made from bkrestore.def; lib/cmake/bkrestore
#   include/  bkrestore/bkrestore.h, objcore/objcore.h
#   share/doc/bkrestore/  README.md and the format documents
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(BK_PACKAGE_ARCH i686)
  set(_implib_machine i386)
  set(_implib_format pe-i386)
else()
  set(BK_PACKAGE_ARCH x86_64)
  set(_implib_machine i386:x86-64)
  set(_implib_format pe-x86-64)
endif()

# bkrestore.lib: an import library in the format Visual C++'s linker reads,
# made from the same .def file as the DLL's exports, checked to import the
# three names undecorated from bkrestore.dll.
set(_def ${CMAKE_SOURCE_DIR}/src/service/bkrestore.def)
set(BK_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/bkrestore.lib)
add_custom_command(
  OUTPUT ${BK_MSVC_IMPLIB}
  COMMAND ${BK_TRIPLET}-dlltool --input-def ${_def} --dllname bkrestore.dll
          --output-lib ${BK_MSVC_IMPLIB} --machine ${_implib_machine}
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-implib.sh ${BK_TRIPLET}-objdump ${BK_MSVC_IMPLIB}
          ${_implib_format} bkrestore.dll vskAPIBackup vskAPIRestore vskAPIGetResourceFileName
  DEPENDS ${_def} ${CMAKE_SOURCE_DIR}/cmake/check-implib.sh
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/lib
  VERBATIM)
add_custom_target(bkrestore_msvc_implib ALL DEPENDS ${BK_MSVC_IMPLIB})

install(TARGETS bkrestore objcore bkrtool
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(dll ${OBJCORE_RUNTIME_DLLS})
  install(FILES ${CMAKE_BINARY_DIR}/${dll} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
install(FILES ${BK_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/bkrestore/bkrestore.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bkrestore)
install(FILES ${CMAKE_SOURCE_DIR}/include/objcore/objcore.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/objcore)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/bkrestore)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/bkrestore/docs
        FILES_MATCHING PATTERN "*.md")

set(_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/bkrestore)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/bkrestoreConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/package/bkrestoreConfig.cmake
                              INSTALL_DESTINATION ${_config_dir})
# The version file also refuses a consumer of the other arch (pointer size).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/bkrestoreConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/bkrestoreConfig.cmake
              ${CMAKE_BINARY_DIR}/package/bkrestoreConfigVersion.cmake
        DESTINATION ${_config_dir})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME bkrestore)
set(CPACK_PACKAGE_VENDOR VELMORA)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME bkrestore-${PROJECT_VERSION}-${BK_PACKAGE_ARCH})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
