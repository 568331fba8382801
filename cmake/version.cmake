# The project's version, in one place: the build takes it from here
# (CMakeLists.txt), and the scripts ask CMake for it:
#   cmake -P cmake/version.cmake    prints it
set(KEYFOLDER_PROJECT_VERSION 0.1.0)
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${KEYFOLDER_PROJECT_VERSION})
endif()
