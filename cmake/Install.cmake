# What `cmake --install` lays out, and the release archive made from it:
#   bin/                     gatesvc.exe, hvlogcfg.exe
#   include/basalt, logging  the public headers, as the sources include them
#   lib/                     the static libraries
#   lib/cmake/ETWLogging/    the package: find_package(ETWLogging CONFIG) gives
#                            ETWLogging::ETWLogging, which brings ETWLogging::Basalt
include(CMakePackageConfigHelpers)

set_target_properties(basalt PROPERTIES EXPORT_NAME Basalt)
set_target_properties(etwlogging PROPERTIES EXPORT_NAME ETWLogging)

install(TARGETS gatesvc hvlogcfg RUNTIME DESTINATION bin)
install(TARGETS basalt etwlogging EXPORT ETWLoggingTargets ARCHIVE DESTINATION lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/basalt ${PROJECT_SOURCE_DIR}/logging
        DESTINATION include FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

set(package_dir lib/cmake/ETWLogging)
install(EXPORT ETWLoggingTargets NAMESPACE ETWLogging:: DESTINATION ${package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ETWLoggingConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ETWLoggingConfig.cmake
                              INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ETWLoggingConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ETWLoggingConfig.cmake
              ${PROJECT_BINARY_DIR}/ETWLoggingConfigVersion.cmake
        DESTINATION ${package_dir})

# The release archive: gatesvc-<version>-win32.zip (win64 for the x86_64 build).
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME gatesvc)
set(CPACK_PACKAGE_VENDOR Halvik)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
