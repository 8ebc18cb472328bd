# SPDX-License-Identifier: BSD-3-Clause
# Installs a build tree to a fresh prefix and builds a normal-world C program against the installed
# protocol header alone, as strict C99, then runs it; the header must also compile as C++.
# cmake -DBUILD_DIR=... -DPREFIX=... -DPROGRAM=... -DCC=... -DCXX=... -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                COMMAND_ERROR_IS_FATAL ANY)
foreach(installed include/VarnelMm/Protocol.h bin/varnel-sim)
  if(NOT EXISTS ${PREFIX}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Werror -pedantic -I${PREFIX}/include
                        ${PROGRAM} -o ${PREFIX}/build-request
                COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${PREFIX}/include-check.cpp "#include <VarnelMm/Protocol.h>\n")
foreach(standard c++11 c++20)
  execute_process(COMMAND ${CXX} -std=${standard} -Wall -Wextra -Werror -pedantic -fsyntax-only
                          -I${PREFIX}/include ${PREFIX}/include-check.cpp
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND ${PREFIX}/build-request COMMAND_ERROR_IS_FATAL ANY)
