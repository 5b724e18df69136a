# Installs the build in BUILD_DIR into a fresh PREFIX and checks that exactly
# the four programs landed there, together in PREFIX/BINDIR, and that the
# installed bridge runs.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

file(GLOB_RECURSE found LIST_DIRECTORIES true RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT found)
set(expected ${BINDIR} ${BINDIR}/accelprobe ${BINDIR}/vkdecprobe ${BINDIR}/vorn-folder
             ${BINDIR}/vorn-mcp)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${found}\nexpected:\n  ${expected}")
endif()

execute_process(COMMAND ${PREFIX}/${BINDIR}/vorn-mcp --version
                RESULT_VARIABLE status OUTPUT_VARIABLE version)
if(NOT status EQUAL 0 OR NOT version MATCHES "^vorn-mcp [0-9]+\n$")
  message(FATAL_ERROR "the installed vorn-mcp answered ${status}: ${version}")
endif()
file(REMOVE_RECURSE ${PREFIX})
