# The format check: every C++ file of the tree as .clang-format lays it out.
# Run by CTest as
#
#   cmake -DSOURCE_DIR=<root> -DCLANG_FORMAT=<clang-format> -P format.cmake
#
# and fails, naming each file that clang-format would change. `cmake --build
# build --target format` rewrites them.

cmake_minimum_required(VERSION 3.21)
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h
    ${SOURCE_DIR}/*.c)
list(FILTER sources EXCLUDE REGEX "^(build[^/]*|\\.[^/]*)/")
set(unformatted)
foreach(source IN LISTS sources)
    execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${source}
        WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(NOT status EQUAL 0)
        list(APPEND unformatted ${source})
    endif()
endforeach()
if(unformatted)
    list(JOIN unformatted "\n  " listed)
    message(FATAL_ERROR "Not laid out as .clang-format says (clang-format -i FILE):\n  ${listed}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files laid out as .clang-format says")
