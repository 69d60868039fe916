# Cross-compiling Trelvan for Windows x86-64 on Debian: MinGW-w64 GCC with
# POSIX threads (Qt 6 needs std::thread and std::mutex, which the win32
# thread variant of Debian's compilers lacks) and a Qt built for Windows with
# the same compilers (tools/qt-windows.sh gets or builds one):
#
#   cmake -S . -B build-windows -G Ninja \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#       -DTRELVAN_QT_WINDOWS=$HOME/.cache/trelvan/qt6-mingw-6.4.2/qt6-mingw
#
# Qt's host tools (moc, rcc) are the build machine's own Qt of the same
# version, from /usr. Test programs run through Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Headers, libraries and packages come from the MinGW sysroot and the Windows
# Qt only; programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Windows Qt: a prefix holding lib/cmake/Qt6. The toolchain file is read
# again for every compile check, which sees only the variables listed here.
set(TRELVAN_QT_WINDOWS "$ENV{TRELVAN_QT_WINDOWS}" CACHE PATH "Qt 6 built for Windows x86-64 with MinGW-w64")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TRELVAN_QT_WINDOWS)
if(TRELVAN_QT_WINDOWS)
    # The root is the prefix and the search path its lib/cmake: CMake would
    # otherwise join a prefix path that lies inside a root to that root.
    list(PREPEND CMAKE_FIND_ROOT_PATH "${TRELVAN_QT_WINDOWS}")
    list(PREPEND CMAKE_PREFIX_PATH "${TRELVAN_QT_WINDOWS}/lib/cmake")
    set(QT_HOST_PATH /usr CACHE PATH "Qt of the build machine, for moc and rcc")
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake
        CACHE PATH "CMake packages of the build machine's Qt")
endif()

# CTest runs the Windows test programs through Wine (its 64-bit loader
# directly: the wine wrapper complains about a missing 32-bit Wine).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(TRELVAN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
    if(TRELVAN_WINE)
        set(CMAKE_CROSSCOMPILING_EMULATOR "${TRELVAN_WINE}")
    endif()
endif()
