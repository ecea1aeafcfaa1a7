# Runs a program and checks its exit status and its whole standard output, byte for byte:
#
#   cmake -DSTATUS=<expected exit status> -DOUTPUT=<expected output> -P expect_run.cmake -- <command...>
#
# In OUTPUT, <LF> stands for a line end. A Windows program's standard output is in text mode, so
# its line ends arrive as CR LF; they are read back as LF, and any other CR stays and counts.
cmake_minimum_required(VERSION 3.22)

set(command "")
set(after_separator FALSE)
foreach(i RANGE 1 ${CMAKE_ARGC})
  if(i EQUAL CMAKE_ARGC)
    break()
  endif()
  if(after_separator)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(after_separator TRUE)
  endif()
endforeach()
if(NOT command OR NOT DEFINED STATUS OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "usage: cmake -DSTATUS=n -DOUTPUT=text -P expect_run.cmake -- command...")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
string(REPLACE "\r\n" "\n" output "${output}")
string(REPLACE "<LF>" "\n" expected "${OUTPUT}")

set(problems "")
if(NOT status STREQUAL STATUS)
  string(APPEND problems "exit status ${status}, expected ${STATUS}\n")
endif()
if(NOT output STREQUAL expected)
  string(REPLACE "\n" "<LF>" shown "${output}")
  string(APPEND problems "standard output [${shown}]\n        expected [${OUTPUT}]\n")
endif()
if(problems)
  message(FATAL_ERROR "${problems}standard error:\n${errors}")
endif()
string(REPLACE "\n" "<LF>" shown "${output}")
message(STATUS "exit status ${status}, standard output [${shown}]")
