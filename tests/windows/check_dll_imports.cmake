# Fails when the DLL named by -DDLL imports from a DLL outside the list below,
cmake_minimum_required(VERSION 3.21)
# such as the MinGW runtime's libstdc++-6.dll or libwinpthread-1.dll, other
# than those named by -DALSO (a list, such as libsoxr.dll).
# Usage: cmake -DOBJDUMP=<objdump> -DDLL=<file.dll> [-DALSO=<a.dll;...>] -P check_dll_imports.cmake
set(system_dlls kernel32.dll msvcrt.dll winmm.dll)
foreach(also IN LISTS ALSO)
  string(TOLOWER "${also}" also)
  list(APPEND system_dlls ${also})
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${headers}")
if(NOT entries)
  message(FATAL_ERROR "no imports found in ${DLL}")
endif()
set(foreign "")
foreach(entry IN LISTS entries)
  string(REPLACE "DLL Name: " "" name "${entry}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" lower)
  message(STATUS "imports ${name}")
  if(NOT lower IN_LIST system_dlls)
    list(APPEND foreign ${name})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${DLL} needs DLLs that do not come with Windows: ${foreign}")
endif()
