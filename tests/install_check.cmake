# Installs the build in BUILD_DIR into a fresh PREFIX and checks that exactly
# the four programs landed there, together in PREFIX/BINDIR, and that the
# installed bridge runs. PREFIX is removed however the check ends.
function(fail text)
  file(REMOVE_RECURSE ${PREFIX})
  message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  fail("cmake --install failed: ${status}")
endif()

file(GLOB_RECURSE found LIST_DIRECTORIES true RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT found)
set(expected ${BINDIR} ${BINDIR}/accelprobe ${BINDIR}/vkdecprobe ${BINDIR}/vorn-folder
             ${BINDIR}/vorn-mcp)
if(NOT found STREQUAL expected)
  fail("installed:\n  ${found}\nexpected:\n  ${expected}")
endif()

execute_process(COMMAND ${PREFIX}/${BINDIR}/vorn-mcp --version
                RESULT_VARIABLE status OUTPUT_VARIABLE version TIMEOUT 60)
if(NOT status EQUAL 0 OR NOT version MATCHES "^vorn-mcp [0-9]+\n$")
  fail("the installed vorn-mcp answered ${status}: ${version}")
endif()
file(REMOVE_RECURSE ${PREFIX})
