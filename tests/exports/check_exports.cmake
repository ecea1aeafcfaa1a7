# Checks the export table of a built library against the names its declarations promise.
#
#   cmake -DKIND=library|driver -DFORMAT=pe|elf -DTOOL=<objdump or nm> -DBINARY=<file>
#         -DHEADER=<header> [-DABSENT=<names>] [-DEXTRA=<regex>] [-DOPTIONAL=<names>]
#         [-DIMPORTS=<dll names>]
# (ABSENT, OPTIONAL and IMPORTS comma-separated)
#         -P check_exports.cmake
#
# KIND library: the exports must be exactly the NRV_CV_ functions declared in HEADER (the public
# header: every declaration starts a line with CORVANE_API), 28 of them.
# KIND driver: the FT_ exports must be exactly the entry points listed in HEADER (the D2XX
# declarations' X-macro list) less ABSENT; any other export must match EXTRA (the simulated
# driver's control functions). OPTIONAL names entry points outside the list that the driver may
# export (the library binds them when present).
# Every other export must be a plain name: no stdcall decoration (@n), no leading underscore.
# FORMAT pe with IMPORTS: the DLL may import from those system DLLs only (case-insensitive).
cmake_minimum_required(VERSION 3.22)

foreach(required KIND FORMAT TOOL BINARY HEADER)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_exports.cmake: ${required} not given")
  endif()
endforeach()
if(NOT EXISTS "${BINARY}")
  message(FATAL_ERROR "${BINARY} does not exist")
endif()

# --- what the declarations promise ---------------------------------------------------------
# Read whole: a line with an unbalanced bracket would merge lines in a CMake list.
file(READ "${HEADER}" header_text)
set(expected "")
if(KIND STREQUAL "library")
  string(REGEX MATCHALL "\nCORVANE_API[^(\n]*[ *]NRV_CV_[A-Za-z0-9_]+[ \t]*\\(" declarations "${header_text}")
  foreach(declaration IN LISTS declarations)
    string(REGEX MATCH "NRV_CV_[A-Za-z0-9_]+" name "${declaration}")
    list(APPEND expected ${name})
  endforeach()
  list(LENGTH expected declared)
  if(NOT declared EQUAL 28)
    message(FATAL_ERROR "the public header declares ${declared} NRV_CV_ functions, not 28: ${expected}")
  endif()
elseif(KIND STREQUAL "driver")
  include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/d2xx_entry_points.cmake)
  corvane_d2xx_entry_points(expected "${HEADER}")
  list(LENGTH expected declared)
  if(NOT declared EQUAL 35)
    message(FATAL_ERROR "the D2XX declarations list ${declared} entry points, not 35: ${expected}")
  endif()
  if(DEFINED ABSENT)
    string(REPLACE "," ";" absent_names "${ABSENT}")
    list(REMOVE_ITEM expected ${absent_names})
  endif()
else()
  message(FATAL_ERROR "KIND must be library or driver, not '${KIND}'")
endif()
list(REMOVE_DUPLICATES expected)
# Lists come comma-separated: a semicolon would split the argument on ctest's command line.
string(REPLACE "," ";" IMPORTS "${IMPORTS}")
string(REPLACE "," ";" optional_names "${OPTIONAL}")

# --- what the binary exports ---------------------------------------------------------------
if(FORMAT STREQUAL "pe")
  execute_process(COMMAND "${TOOL}" -p "${BINARY}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
elseif(FORMAT STREQUAL "elf")
  execute_process(COMMAND "${TOOL}" -D --defined-only "${BINARY}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
else()
  message(FATAL_ERROR "FORMAT must be pe or elf, not '${FORMAT}'")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} failed on ${BINARY}: ${status}")
endif()
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" dump_lines "${dump}")

set(exported "")
set(imported "")
set(in_name_table FALSE)
foreach(line IN LISTS dump_lines)
  if(FORMAT STREQUAL "pe")
    # objdump -p lists the exported names under "[Ordinal/Name Pointer] Table", one
    # "\t[   n] Name" line each, up to the next blank line; imports as "\tDLL Name: X".
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_name_table TRUE)
    elseif(in_name_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(in_name_table AND line STREQUAL "")
      set(in_name_table FALSE)
    elseif(line MATCHES "^[ \t]*DLL Name: (.+)$")
      list(APPEND imported "${CMAKE_MATCH_1}")
    endif()
  else()
    # nm -D --defined-only: "<address> <type> <name>"; the versioned ELF marker symbols are not
    # functions of ours and carry no address.
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^ ]+)$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    endif()
  endif()
endforeach()

# --- compare -------------------------------------------------------------------------------
set(problems "")
set(missing ${expected})
set(unexpected "")
foreach(name IN LISTS exported)
  list(FIND expected "${name}" at)
  if(at GREATER_EQUAL 0)
    list(REMOVE_ITEM missing "${name}")
  elseif(DEFINED OPTIONAL AND name IN_LIST optional_names)
    # an entry point outside the 35 that the library binds when present
  elseif(DEFINED EXTRA AND NOT name MATCHES "^_?FT_" AND name MATCHES "${EXTRA}")
    # an allowed extra (the simulated driver's control functions)
  elseif(name MATCHES "@" OR name MATCHES "^_")
    list(APPEND problems "decorated export: ${name}")
  else()
    list(APPEND unexpected "${name}")
  endif()
endforeach()
foreach(name IN LISTS missing)
  list(APPEND problems "missing export: ${name}")
endforeach()
foreach(name IN LISTS unexpected)
  list(APPEND problems "unexpected export: ${name}")
endforeach()

if(FORMAT STREQUAL "pe" AND DEFINED IMPORTS)
  string(TOLOWER "${IMPORTS}" allowed_imports)
  foreach(dll IN LISTS imported)
    string(TOLOWER "${dll}" lower)
    list(FIND allowed_imports "${lower}" at)
    if(at LESS 0)
      list(APPEND problems "imports ${dll}: only ${IMPORTS} may be needed")
    endif()
  endforeach()
endif()

list(LENGTH exported export_count)
list(LENGTH expected expected_count)
get_filename_component(binary_name "${BINARY}" NAME)
if(problems)
  list(JOIN problems "\n  " report)
  message(FATAL_ERROR "${binary_name}: ${export_count} exports, ${expected_count} expected\n  ${report}")
endif()
message(STATUS "${binary_name}: all ${expected_count} expected names exported, plain, and nothing unexpected (${export_count} exports)")
