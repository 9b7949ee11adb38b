# SPDX-License-Identifier: MIT
# varnolink_add_areas(<area>...): the tests and the benchmarks are kept in one
# folder per area of the program; each listed area that has a CMakeLists.txt
# is added, and the window's ("window") only when the window is built.
function(varnolink_add_areas)
    set(areas ${ARGN})
    if(NOT VARNOLINK_BUILD_GUI)
        list(REMOVE_ITEM areas window)
    endif()
    foreach(area ${areas})
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${area}/CMakeLists.txt)
            add_subdirectory(${area})
        endif()
    endforeach()
endfunction()
