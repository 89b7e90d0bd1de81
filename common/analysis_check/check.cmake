# Proves that the annotations of common/ reach clang's thread-safety analysis:
# lock_cases.cpp case 0 must compile cleanly, and every other case must be
# rejected by -Werror=thread-safety with an error that names what it misuses.
#   cmake -DCLANGXX=clang++ -DROOT=<source root> -P check.cmake
# Prints "skipped: no clang++" (the test counts as skipped) without clang.
if(NOT CLANGXX OR NOT EXISTS "${CLANGXX}")
  message("skipped: no clang++")
  return()
endif()

set(source "${CMAKE_CURRENT_LIST_DIR}/lock_cases.cpp")
# Case number, then the name the error must mention.
set(cases
  "1='value_'" "2='value_'" "3='value_'" "4='AddLocked'" "5='Add'"
  "6='Wait'" "7='shared_'" "8='notes_'" "9='mutex_'")

function(compile_case number result_var output_var)
  execute_process(
    COMMAND "${CLANGXX}" -std=c++20 -fsyntax-only -I "${ROOT}" -Wthread-safety -Werror=thread-safety
            -DKORVAN_CHECK_CASE=${number} "${source}"
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${output_var} "${out}" PARENT_SCOPE)
endfunction()

set(failures "")
compile_case(0 result out)
if(NOT result EQUAL 0 OR NOT out STREQUAL "")
  string(APPEND failures "case 0 (correct locking) did not compile cleanly:\n${out}\n")
endif()
foreach(entry IN LISTS cases)
  string(REGEX REPLACE "=.*" "" number "${entry}")
  string(REGEX REPLACE "^[0-9]+=" "" name "${entry}")
  compile_case(${number} result out)
  if(result EQUAL 0)
    string(APPEND failures "case ${number} compiled, but its locking mistake must be an error\n")
  elseif(NOT out MATCHES "error: [^\n]*${name}[^\n]*\\[-Werror,-Wthread-safety")
    string(APPEND failures "case ${number} failed without a thread-safety error about ${name}:\n${out}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message("thread-safety analysis: case 0 compiles, all mistakes rejected")
