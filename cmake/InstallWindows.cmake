# The Windows installation and its installer, made by CPack's NSIS generator
# from the template cmake/windows/NSIS.template.in:
#
#   cd build-windows && cpack   ->  build-windows/trelvan-<version>-win64.exe
#
# The folder (Program Files\Trelvan) holds the two programs and every DLL and
# plugin they load, nothing else:
#
#   trelvan.exe, trelvan-list.exe
#   Qt6Core, Qt6Gui, Qt6Widgets, Qt6Network, Qt6Sql .dll  Qt
#   libstdc++-6, libgcc_s_seh-1, libwinpthread-1 .dll the MinGW runtime
#   sqlite3.dll                     SQLite, which Qt's SQLite driver loads
#   sqldrivers\qsqlite.dll          that driver: the presence history
#   libmosquitto.dll                MQTT for trelvan-list.exe, where the build has it
#   platforms\qwindows.dll          the window system
#   styles\qwindowsvistastyle.dll   the native look of the widgets
#   imageformats\qico.dll           the window icon, read from :/res/trelvan.ico
#   tls\qschannelbackend.dll        Windows' own TLS: the certificate's name of an HTTPS page
#   translations\qtbase_fr.qm       Qt's own texts in French ("Oui", "Non", file dialogs)
#
# Qt finds its plugins in these folders beside the program. The installer
# test (tests/windows/installer-test.sh) checks this list against the DLLs
# the programs load under Wine.
#
# Included by Install.cmake in place of the Linux rules.

install(TARGETS trelvan RUNTIME DESTINATION .)
if(TARGET trelvan-list)
    install(TARGETS trelvan-list RUNTIME DESTINATION .)
endif()

foreach(module Core Gui Widgets Network Sql)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
foreach(plugin platforms:QWindowsIntegrationPlugin styles:QWindowsVistaStylePlugin
        imageformats:QICOPlugin sqldrivers:QSQLiteDriverPlugin tls:QSchannelBackendPlugin)
    string(REPLACE ":" ";" plugin ${plugin})
    list(GET plugin 0 folder)
    list(GET plugin 1 target)
    if(NOT TARGET Qt6::${target})
        message(FATAL_ERROR "The Windows Qt has no ${target}, which trelvan.exe loads")
    endif()
    install(FILES $<TARGET_FILE:Qt6::${target}> DESTINATION ${folder})
endforeach()

# The compiler's runtime: the stripped copies beside Qt's DLLs when there,
# else the compiler's own.
get_target_property(qt_core_location Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(qt_bin ${qt_core_location} DIRECTORY)
# SQLite itself, which the archive's Qt builds beside its DLLs.
if(NOT EXISTS ${qt_bin}/sqlite3.dll)
    message(FATAL_ERROR "The Windows Qt has no sqlite3.dll, which its SQLite driver loads")
endif()
install(FILES ${qt_bin}/sqlite3.dll DESTINATION .)
# libmosquitto, which trelvan-list.exe loads for --mqtt (tools/mosquitto-windows.sh).
if(TARGET trelvan_publish)
    install(FILES $<TARGET_FILE:trelvan_mosquitto> DESTINATION .)
endif()
# Qt's French texts, which both programs load from translations\ beside
# them.
trelvan_qt_french(qt_french)
install(FILES ${qt_french} DESTINATION translations)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    if(EXISTS ${qt_bin}/${dll})
        set(runtime_dll ${qt_bin}/${dll})
    else()
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE runtime_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    if(NOT EXISTS ${runtime_dll})
        message(FATAL_ERROR "The MinGW runtime's ${dll} is missing")
    endif()
    install(FILES ${runtime_dll} DESTINATION .)
endforeach()

set(CPACK_GENERATOR NSIS64)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR ${TRELVAN_ORGANIZATION})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME trelvan-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${PROJECT_NAME})
set(CPACK_STRIP_FILES ON)
# Our own template, in French: the one CPack carries speaks English, makes a
# Start-menu folder with an uninstaller link, and installs into Documents
# where the user is no administrator.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/windows)
set(CPACK_NSIS_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_NSIS_DISPLAY_NAME ${PROJECT_NAME})
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/res/trelvan.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/res/trelvan.ico)
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
set(CPACK_NSIS_URL_INFO_ABOUT ${PROJECT_HOMEPAGE_URL})
# The installer's own version block wants four numbers.
set(CPACK_TRELVAN_FILE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)

include(CPack)
