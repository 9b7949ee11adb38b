# SPDX-License-Identifier: MIT
# Warnings, warnings-as-errors and sanitizers for every target of the build.
add_compile_options(-Wall -Wextra -Wpedantic)
# GCC 12 reports a false -Wrestrict inside std::string concatenation when
# optimising (GCC bug 105329); it is fixed in GCC 13.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options(-Wno-restrict)
endif()
if(VARNOLINK_WERROR)
    add_compile_options(-Werror)
endif()

if(VARNOLINK_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
elseif(VARNOLINK_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=thread)
elseif(NOT VARNOLINK_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VARNOLINK_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(VARNOLINK_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VARNOLINK_FUZZ needs clang (CXX=clang++)")
endif()
