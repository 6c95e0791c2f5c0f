# The release: what `cmake --install` puts into the install tree, and the ZIP
# package of it (one per arch, named with the version and the arch).
#   bin/      bkrestore.dll, objcore.dll with the GCC runtime DLLs, bkrtool.exe
#   lib/      the mingw import libraries (lib*.dll.a), bkrestore.lib for
#             MSVC-style linkers, made from bkrestore.def; lib/cmake/bkrestore
#   include/  bkrestore/bkrestore.h, objcore/objcore.h
#   testing/  the stand-in of the client's log manager, for an integrator's
#             own tests on a machine without the client (never in bin/)
#   share/doc/bkrestore/  the package's README, NOTICE.txt and licenses/,
#             docs/guide/ (the integrator's guide) and docs/ (the file formats)
# Every PE file is installed without debug information.
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(BK_PACKAGE_ARCH i686)
  set(_implib_machine i386)
  set(BK_MSVC_IMPLIB_ARCH i386)
  set(_debian_arch i686)
else()
  set(BK_PACKAGE_ARCH x86_64)
  set(_implib_machine i386:x86-64)
  set(BK_MSVC_IMPLIB_ARCH x86_64)
  set(_debian_arch x86-64)
endif()

find_program(BK_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_program(BK_LLVM_READOBJ NAMES llvm-readobj llvm-readobj-14 REQUIRED)
find_program(BK_STRIP NAMES ${BK_TRIPLET}-strip REQUIRED)

# bkrestore.lib: an import library of short import members, which every
# MSVC-style linker reads (binutils' dlltool makes object members that a
# linker with /SAFESEH refuses), made from the same .def file as the DLL's
# exports and checked to import the three names undecorated from bkrestore.dll.
set(_def ${CMAKE_SOURCE_DIR}/src/service/bkrestore.def)
set(BK_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/bkrestore.lib)
add_custom_command(
  OUTPUT ${BK_MSVC_IMPLIB}
  COMMAND ${BK_LLVM_DLLTOOL} -m ${_implib_machine} -d ${_def} -D bkrestore.dll -l ${BK_MSVC_IMPLIB}
  COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/check-implib.sh ${BK_LLVM_READOBJ} ${BK_MSVC_IMPLIB} ${BK_MSVC_IMPLIB_ARCH}
          bkrestore.dll vskAPIBackup vskAPIRestore vskAPIGetResourceFileName
  DEPENDS ${_def} ${CMAKE_SOURCE_DIR}/cmake/check-implib.sh
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/lib
  VERBATIM)
add_custom_target(bkrestore_msvc_implib ALL DEPENDS ${BK_MSVC_IMPLIB})

install(TARGETS bkrestore objcore bkrtool
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(_shipped_pe ${CMAKE_INSTALL_BINDIR}/bkrestore.dll ${CMAKE_INSTALL_BINDIR}/objcore.dll
                ${CMAKE_INSTALL_BINDIR}/bkrtool.exe testing/vscltmng.dll)
foreach(dll ${OBJCORE_RUNTIME_DLLS})
  install(FILES ${CMAKE_BINARY_DIR}/${dll} DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND _shipped_pe ${CMAKE_INSTALL_BINDIR}/${dll})
endforeach()
install(FILES ${BK_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/bkrestore/bkrestore.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bkrestore)
install(FILES ${CMAKE_SOURCE_DIR}/include/objcore/objcore.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/objcore)

# The log manager's stand-in, apart from what runs on a client machine.
install(TARGETS vscltmng RUNTIME DESTINATION testing)
install(FILES ${CMAKE_SOURCE_DIR}/standins/vscltmng/vscltmng.h ${CMAKE_SOURCE_DIR}/docs/package/testing/README.txt
        DESTINATION testing)

# The shipped files carry no debug information (--strip-debug keeps the
# unwind tables that exceptions need, and the symbol table).
install(CODE "set(_bk_strip \"${BK_STRIP}\")\nset(_bk_shipped \"${_shipped_pe}\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/BkStripInstalled.cmake)

# Documents: the package's README and notices, the guide, the formats.
set(_doc ${CMAKE_INSTALL_DATADIR}/doc/bkrestore)
install(FILES ${CMAKE_SOURCE_DIR}/docs/package/README.md ${CMAKE_SOURCE_DIR}/docs/package/NOTICE.txt
        DESTINATION ${_doc})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${_doc}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN package EXCLUDE)

# Licences of what ships or is linked in, from this machine's copies of them
# (the packages that scripts/setup.sh installs).
set(_licenses
  gcc-runtime.txt=/usr/share/doc/gcc-mingw-w64-${_debian_arch}-posix-runtime/copyright
  GPL-3.txt=/usr/share/common-licenses/GPL-3
  mingw-w64.txt=/usr/share/doc/mingw-w64-${_debian_arch}-dev/copyright
  zlib.txt=/usr/share/doc/libz-mingw-w64-dev/copyright)
foreach(pair ${_licenses})
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 name)
  list(GET pair 1 source)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "licence text ${source} is missing (run scripts/setup.sh)")
  endif()
  install(FILES ${source} DESTINATION ${_doc}/licenses RENAME ${name})
endforeach()

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
# Stripped by the install rules above.
set(CPACK_STRIP_FILES OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
