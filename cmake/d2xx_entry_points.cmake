# corvane_d2xx_entry_points(<variable> [header]): the names of the D2XX entry points, in the order
# of the X-macro list in Libraries/d2xx/d2xx.h (or the header given), the one place that declares
# them. Used by the builds that export or leave out entry points by name, and by the export-table
# check (a -P script).
set(CORVANE_D2XX_HEADER ${CMAKE_CURRENT_LIST_DIR}/../Libraries/d2xx/d2xx.h)

function(corvane_d2xx_entry_points variable)
  set(header ${CORVANE_D2XX_HEADER})
  if(ARGN)
    set(header ${ARGN})
  endif()
  # Read whole: a line with an unbalanced bracket would merge lines in a CMake list.
  file(READ ${header} text)
  string(REGEX MATCHALL "\n[ \t]*X\\(FT_[A-Za-z0-9_]+, *[01]," entries "${text}")
  set(names "")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "FT_[A-Za-z0-9_]+" name "${entry}")
    list(APPEND names ${name})
  endforeach()
  set(${variable} ${names} PARENT_SCOPE)
endfunction()

# corvane_write_d2xx_def(<file> <dll name> [entry points to leave out...] [ALSO <optional entry points...>]):
# a module-definition file that exports the other entry points, and those named after ALSO (the
# optional ones the library binds when a driver has them), under their plain names. 64-bit Windows
# has one calling convention and undecorated symbols; a 32-bit DLL needs -Wl,--enable-stdcall-fixup
# for the linker to find each name's stdcall-decorated symbol (FT_Open@8).
function(corvane_write_d2xx_def file dll)
  cmake_parse_arguments(PARSE_ARGV 2 def "" "" "ALSO")
  corvane_d2xx_entry_points(names)
  if(def_UNPARSED_ARGUMENTS)
    list(REMOVE_ITEM names ${def_UNPARSED_ARGUMENTS})
  endif()
  list(APPEND names ${def_ALSO})
  list(JOIN names "\n    " lines)
  file(CONFIGURE OUTPUT ${file} CONTENT "LIBRARY ${dll}\nEXPORTS\n    ${lines}\n")
endfunction()
