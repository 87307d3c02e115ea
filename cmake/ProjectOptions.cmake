# Compile settings shared by every target of the project.
#
# gatesvc_target_defaults(<target>) applies the Windows API selection and the
# warning level; toolchain-specific flags stay behind compiler checks so that
# the MSVC build sees none of the GCC ones.

function(gatesvc_target_defaults target)
  target_compile_definitions(${target} PRIVATE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0601 WINVER=0x0601)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# Console programs with a wide entry point (wmain).
function(gatesvc_console_program target)
  gatesvc_target_defaults(${target})
  if(MINGW)
    target_link_options(${target} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# gatesvc_program_resources(<target> <execution level> <description>)
# Gives a program its version information (the project version, "Halvik")
# and its application manifest: the execution level it asks for, the Windows
# versions it supports, and nothing for a user interface it does not have.
function(gatesvc_program_resources target level description)
  set(GATESVC_RC_NAME ${target})
  set(GATESVC_RC_LEVEL ${level})
  set(GATESVC_RC_DESCRIPTION "${description}")
  set(GATESVC_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.manifest.in ${GATESVC_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  if(MSVC)
    # The manifest comes from the resource script, not from the linker.
    target_link_options(${target} PRIVATE /MANIFEST:NO)
  endif()
endfunction()
