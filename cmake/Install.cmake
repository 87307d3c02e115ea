# What `cmake --install` lays out; scripts/release.sh makes the release archive from it:
#   bin/                     gatesvc.exe, hvlogcfg.exe
#   include/logging, basalt  the public interface and nothing else, included as
#                            in the sources ("logging/LogMacro.h")
#   lib/                     the static libraries
#   lib/cmake/ETWLogging/    the package: find_package(ETWLogging CONFIG) gives
#                            ETWLogging::ETWLogging, which brings ETWLogging::Basalt
#   README.txt, CHANGELOG.md the operator's README and the changes by version
include(CMakePackageConfigHelpers)

set_target_properties(basalt PROPERTIES EXPORT_NAME Basalt)
set_target_properties(etwlogging PROPERTIES EXPORT_NAME ETWLogging)

# The public interface: the headers a module includes, and those they include.
# Everything else (the back ends' classes, the cipher and digest, the INI
# readers, the folder lock, the line format, the default handler) is internal
# and may change with any version.
set(GATESVC_PUBLIC_HEADERS
  logging/LogMacro.h                 # ETWLOGGING_LOG and one macro per level
  logging/FormatCheck.h              # the formats' compile-time and run-time check
  logging/LogFacade.h                # the process-wide facade and logging identity
  logging/LoggingIf.h                # levels, result codes, the logger interfaces
  logging/LoggingConfigListenerIf.h  # the configuration listener interface
  logging/LogBuilder.h               # the back-end choice
  logging/LoggingKeys.h              # where the configuration lives in the registry
  basalt/RegKey.h                    # registry keys
  basalt/ObfuscatedRegKey.h          # registry keys with enciphered values
  basalt/Logging/Logger.h            # the foundation logger and its handler interface
  basalt/FileVersionInfo.h           # version resources of files
  basalt/OSInfo.h                    # the operating system's version
  basalt/PathHelpers.h               # folder and path helpers
  basalt/ShlObjAPI.h                 # known folders (used by FileVersionInfo.h)
)

install(TARGETS gatesvc hvlogcfg RUNTIME DESTINATION bin)
install(TARGETS basalt etwlogging EXPORT ETWLoggingTargets ARCHIVE DESTINATION lib)
foreach(header IN LISTS GATESVC_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION include/${folder})
endforeach()
# The operator's README, with Windows line ends for Notepad.
configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt ${PROJECT_BINARY_DIR}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION .)

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
