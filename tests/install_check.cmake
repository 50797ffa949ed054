# cmake --install into a fresh prefix must bring exactly the five programs, their manual
# pages, the README and the three guides beside it, each with its chart; kill_b.1 and kill_c.1 are symbolic
# links to kill_a.1.
# Run as: cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cmake --install failed: ${failed}")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(expected bin/farewell bin/kill_a bin/kill_b bin/kill_c bin/leakdemo
             share/doc/os_demonstrations/README.md
             share/doc/os_demonstrations/exit_handlers/README.md
             share/doc/os_demonstrations/exit_handlers/farewell.svg
             share/doc/os_demonstrations/heap/README.md
             share/doc/os_demonstrations/heap/leakdemo.svg
             share/doc/os_demonstrations/signals/README.md
             share/doc/os_demonstrations/signals/kill_a.svg
             share/man/man1/farewell.1 share/man/man1/kill_a.1 share/man/man1/kill_b.1
             share/man/man1/kill_c.1 share/man/man1/leakdemo.1)
if(NOT installed STREQUAL expected)
    message(FATAL_ERROR "installed: ${installed}\nexpected: ${expected}")
endif()
foreach(link IN ITEMS kill_b.1 kill_c.1)
    set(target "")
    if(IS_SYMLINK "${PREFIX}/share/man/man1/${link}")
        file(READ_SYMLINK "${PREFIX}/share/man/man1/${link}" target)
    endif()
    if(NOT target STREQUAL "kill_a.1")
        message(FATAL_ERROR "${link} is not a symbolic link to kill_a.1")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
