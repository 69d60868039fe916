# What `cmake --install` puts where, then the Debian package (Package.cmake).
#
#   bin/                          trelvan, and trelvan-list when it is built
#   libexec/trelvan/              trelvan-resolver, the only file that may hold
#                                 a capability (the package's postinst gives it
#                                 cap_net_raw)
#   share/applications/, share/metainfo/, share/icons/hicolor/
#                                 the menu entry, the AppStream metainfo and
#                                 the icon, all under the id below
#   share/man/man1/               the manual pages (res/linux/*.1)
#   share/doc/trelvan/            copyright and changelog
#   share/lintian/overrides/      why lintian's embedded-library tag is wrong
#   lib/systemd/system/, lib/sysusers.d/, /etc/default/
#                                 the watch service (trelvan-watch.service),
#                                 its user and its settings
#
# Included at the end of the top-level CMakeLists.txt, so that every target
# exists by then; the helper and the lister are installed only when built.
# Windows has rules of its own, and its installer: InstallWindows.cmake.

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/InstallWindows.cmake)
    return()
endif()

include(GNUInstallDirs)

# Reversed from the home page's domain, dantrix.example. tools/make-icon.py
# names the icon files after it too.
set(TRELVAN_APP_ID example.dantrix.trelvan)

# Directories the rules create get the usual modes whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS trelvan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET trelvan-list)
    install(TARGETS trelvan-list RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET trelvan-resolver)
    install(TARGETS trelvan-resolver RUNTIME DESTINATION ${TRELVAN_HELPER_DIR})
endif()

if(UNIX AND NOT APPLE)
    set(linux_res ${PROJECT_SOURCE_DIR}/res/linux)
    # The files that name the version are templates (*.in) filled in here.
    set(linux_made ${CMAKE_CURRENT_BINARY_DIR}/package)
    foreach(file ${TRELVAN_APP_ID}.metainfo.xml changelog trelvan.1 trelvan-list.1)
        if(EXISTS ${linux_res}/${file}.in)
            configure_file(${linux_res}/${file}.in ${linux_made}/${file} @ONLY)
        endif()
    endforeach()
    install(FILES ${linux_res}/${TRELVAN_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${linux_made}/${TRELVAN_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(DIRECTORY ${linux_res}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

    # The documentation folder is named after the package, in lower case
    # (GNUInstallDirs' DOCDIR would take the project's name, "Trelvan").
    set(TRELVAN_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/trelvan)
    # The watch service, trelvan-list --suivre from boot: its unit names the
    # program where this install puts it (under /usr in the package, which
    # CPack installs with that prefix), its settings are in /etc/default
    # whatever the prefix, and its user comes from systemd-sysusers.
    if(TARGET trelvan-list)
        install(CODE "set(TRELVAN_LIST \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/trelvan-list\")
            configure_file(\"${linux_res}/trelvan-watch.service.in\"
                \"${linux_made}/trelvan-watch.service\" @ONLY)")
        install(FILES ${linux_made}/trelvan-watch.service DESTINATION lib/systemd/system)
        # It may hold the broker's password: root's, readable by the service's
        # group (which the postinst gives it once the user exists).
        install(FILES ${linux_res}/trelvan-watch.default DESTINATION /etc/default
            RENAME trelvan-watch PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
        install(FILES ${linux_res}/trelvan.sysusers DESTINATION lib/sysusers.d RENAME trelvan.conf)
    endif()

    install(FILES ${linux_res}/copyright DESTINATION ${TRELVAN_DOCDIR})
    install(FILES ${linux_res}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME trelvan)

    # The manual pages and the changelog go compressed, without a name or
    # time stamp, so that the same text always gives the same bytes.
    set(man_pages trelvan.1)
    if(TARGET trelvan-list AND EXISTS ${linux_made}/trelvan-list.1)
        list(APPEND man_pages trelvan-list.1)
    endif()
    find_program(TRELVAN_GZIP gzip)
    if(TRELVAN_GZIP)
        set(compressed)
        foreach(file ${man_pages} changelog)
            set(copy ${linux_made}/compressed/${file})
            add_custom_command(OUTPUT ${copy}.gz
                COMMAND ${CMAKE_COMMAND} -E copy ${linux_made}/${file} ${copy}
                COMMAND ${TRELVAN_GZIP} -9nf ${copy}
                DEPENDS ${linux_made}/${file}
                COMMENT "Compressing ${file}"
                VERBATIM)
            list(APPEND compressed ${copy}.gz)
        endforeach()
        add_custom_target(trelvan_docs ALL DEPENDS ${compressed})
        foreach(page ${man_pages})
            install(FILES ${linux_made}/compressed/${page}.gz
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
        endforeach()
        install(FILES ${linux_made}/compressed/changelog.gz
            DESTINATION ${TRELVAN_DOCDIR})
    endif()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
