# What `cmake --install` (and the Debian package, which is made from the same rules) puts where:
# the four tools in bin/, the embedding library and its header, a CMake package so that
# find_package(T4VM) finds them, and the documents in share/doc/t4vm/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(T4VM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/T4VM)

# The executable target t4vm is exported as T4VM::t4vm-run: T4VM::t4vm is the library, which is
# what most users of the package want by that name.
set_target_properties(t4vm PROPERTIES EXPORT_NAME t4vm-run)
install(TARGETS t4vm t4asm t4dis t4db EXPORT T4VMTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS t4vmembed EXPORT T4VMTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/t4vm DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
file(GLOB T4VM_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES README.md ${T4VM_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT T4VMTargets NAMESPACE T4VM:: DESTINATION ${T4VM_CMAKE_DIR})
configure_package_config_file(cmake/T4VMConfig.cmake.in ${PROJECT_BINARY_DIR}/T4VMConfig.cmake
  INSTALL_DESTINATION ${T4VM_CMAKE_DIR})
# A host built against 1.x works with any later 1.x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/T4VMConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/T4VMConfig.cmake ${PROJECT_BINARY_DIR}/T4VMConfigVersion.cmake
  DESTINATION ${T4VM_CMAKE_DIR})

# `make package`: a Debian package of the same files under /usr. Its dependencies are computed by
# dpkg-shlibdeps from what the tools link at run time (libc6, libstdc++6, libgcc-s1).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME t4vm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "T4VM bytecode virtual machine, its assembler, disassembler and embedding library")
set(CPACK_PACKAGE_DESCRIPTION "t4vm runs program images of a small dynamically typed scripting language; t4asm and t4dis turn assembly text into images and back; libt4vm and its header run images inside a host program.")
set(CPACK_PACKAGE_CONTACT "T4VM developers <t4vm@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)  # the build's debug information stays in build/
set(CPACK_T4VM_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/stripstatic.cmake)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
