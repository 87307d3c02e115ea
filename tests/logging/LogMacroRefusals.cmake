# Compiles every case of LogMacroBadUses.cpp on its own and checks that case 0
# compiles and every other case is refused with the verdict it names.
#   cmake -DCOMPILER=<c++> -DCOMPILER_ID=<GNU|Clang|MSVC> -DSOURCE=<file>
#         -DINCLUDE=<source root> -P LogMacroRefusals.cmake
file(STRINGS ${SOURCE} cases REGEX "FORMAT_CASE == [0-9]+ +// expect: ")
if(NOT cases)
  message(FATAL_ERROR "no cases in ${SOURCE}")
endif()

set(defines -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX)
if(COMPILER_ID STREQUAL "MSVC")
  set(command ${COMPILER} /nologo /std:c++17 /permissive- /Zs /EHsc ${defines} /I${INCLUDE})
  set(case_flag /DFORMAT_CASE=)
else()
  set(command ${COMPILER} -std=c++17 -pedantic-errors -fsyntax-only ${defines} -I${INCLUDE})
  set(case_flag -DFORMAT_CASE=)
endif()

set(failures "")
foreach(line IN LISTS cases)
  string(REGEX MATCH "FORMAT_CASE == ([0-9]+) +// expect: (.*)$" matched "${line}")
  set(number ${CMAKE_MATCH_1})
  string(STRIP "${CMAKE_MATCH_2}" expected)
  execute_process(COMMAND ${command} ${case_flag}${number} ${SOURCE}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(expected STREQUAL "compiles")
    if(result EQUAL 0)
      message(STATUS "case ${number}: compiles")
    else()
      string(APPEND failures "case ${number} should compile:\n${output}\n")
    endif()
  elseif(result EQUAL 0)
    string(APPEND failures "case ${number} compiled; expected ${expected}\n")
  elseif(NOT output MATCHES "${expected}")
    string(APPEND failures "case ${number} refused without ${expected}:\n${output}\n")
  else()
    message(STATUS "case ${number}: refused, ${expected}")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
