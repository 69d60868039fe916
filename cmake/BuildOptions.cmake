# trelvan_options: what every target of the tree is built with, carried by an
# INTERFACE target that each of them links (PRIVATE), so that nothing is set
# for the whole directory tree and a target says what it is built with:
#
#   -Wall -Wextra -Wshadow     the warnings the tree is held to, and
#   -Wconversion               conversions that could change a value
#   -fstack-protector-strong   a canary in every function with a local array
#                              or a local whose address is taken
#   -D_FORTIFY_SOURCE=2        checked copies of the string and memory
#                              functions; only in optimised builds, where the
#                              compiler can see the buffer sizes (glibc warns
#                              without optimisation)
#   PIE                        executables loaded at a random address
#   -z relro -z now            the relocations resolved at start and made
#                              read-only (full RELRO)
#   TRELVAN_FUZZ               coverage instrumentation, AddressSanitizer and
#                              UndefinedBehaviorSanitizer (tests/fuzz)
#
# The fuzz build keeps the hardening but _FORTIFY_SOURCE, whose checked
# functions would hide buffer overflows from AddressSanitizer's own. The
# Windows cross-build gets only the warnings: PIE, RELRO and glibc's checked
# functions are ELF and glibc features, and MinGW's stack protector would
# need its libssp shipped beside the program; the linker there already makes
# the executables relocatable (ASLR) and non-executable-data (DEP).
#
# trelvan_check_options() at the end of the top-level list fails the
# configuration when a target of the tree does not link trelvan_options.

option(TRELVAN_FUZZ "Build the libFuzzer targets of tests/fuzz (clang only)" OFF)
if(TRELVAN_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TRELVAN_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
endif()

add_library(trelvan_options INTERFACE)

# GCC (MinGW-w64 for Windows) and clang only: the tree is built with nothing else.
target_compile_options(trelvan_options INTERFACE -Wall -Wextra -Wshadow -Wconversion)

if(TRELVAN_FUZZ)
    target_compile_options(trelvan_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined
        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(trelvan_options INTERFACE -fsanitize=address,undefined)
endif()

if(NOT WIN32)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    set_target_properties(trelvan_options PROPERTIES INTERFACE_POSITION_INDEPENDENT_CODE ON)
    target_compile_options(trelvan_options INTERFACE -fstack-protector-strong)
    if(NOT TRELVAN_FUZZ)
        # A distribution's compiler may define its own level already.
        target_compile_options(trelvan_options INTERFACE
            "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
    endif()
    target_link_options(trelvan_options INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()

# Fails when a library or executable defined under dir (recursively) does not
# link trelvan_options.
function(trelvan_check_options dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            get_target_property(libraries ${target} LINK_LIBRARIES)
            if(NOT trelvan_options IN_LIST libraries)
                message(FATAL_ERROR "${target} (${dir}) does not link trelvan_options: "
                    "target_link_libraries(${target} PRIVATE trelvan_options)")
            endif()
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        trelvan_check_options(${subdir})
    endforeach()
endfunction()
