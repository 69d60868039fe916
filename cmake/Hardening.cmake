# Hardening of every binary the build makes, included from the top-level
# CMakeLists.txt before any target is defined:
#
#   -fstack-protector-strong   a canary in every function with a local array
#                              or a local whose address is taken
#   -D_FORTIFY_SOURCE=2        checked copies of the string and memory
#                              functions; only in optimised builds, where the
#                              compiler can see the buffer sizes (glibc warns
#                              without optimisation)
#   PIE                        executables loaded at a random address
#   -z relro -z now            the relocations resolved at start and made
#                              read-only (full RELRO)
#
# The fuzz build (-DTRELVAN_FUZZ=ON) keeps all of it but _FORTIFY_SOURCE, whose
# checked functions would hide buffer overflows from AddressSanitizer's own.
# The Windows cross-build gets none of it: PIE, RELRO and glibc's checked
# functions are ELF and glibc features, and MinGW's stack protector would
# need its libssp shipped beside the program; the linker there already makes
# the executables relocatable (ASLR) and non-executable-data (DEP).

if(WIN32 OR MSVC)
    return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
if(NOT TRELVAN_FUZZ)
    # A distribution's compiler may define its own level already.
    add_compile_options(
        "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
