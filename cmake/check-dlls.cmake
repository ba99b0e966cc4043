# cmake -DOBJDUMP=... -DEXE=... -DALLOWED="a.dll;b.dll" -P check-dlls.cmake
# Lists the DLLs an executable imports and fails on any not in ALLOWED (case-insensitive).
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "DLL Name: [^\r\n ]+" found "${dump}")
string(REPLACE "DLL Name: " "" found "${found}")
string(TOLOWER "${ALLOWED}" allowed)
foreach(dll IN LISTS found)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST allowed)
    message(FATAL_ERROR "${EXE} needs ${dll}, which Windows does not ship")
  endif()
endforeach()
message(STATUS "${EXE} imports: ${found}")
