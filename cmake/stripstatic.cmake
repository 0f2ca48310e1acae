# Run by CPack once it has installed into its staging directory: the static library's debug
# information, nearly all of its size, stays out of the package, as the tools' does.
file(GLOB_RECURSE archives ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a)
foreach(archive ${archives})
  execute_process(COMMAND ${CPACK_T4VM_STRIP} --strip-debug ${archive} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
