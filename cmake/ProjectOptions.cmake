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
