# The Debian package, made by CPack from the install rules of Install.cmake:
#
#   cd build && cpack        ->  build/trelvan_<version>_<arch>.deb
#
# Its dependencies come from the binaries (dpkg-shlibdeps): Qt's and the C
# library's, and for the helper libseccomp's and libcap-ng's. Three are named
# by hand, for what no binary links: qt6-qpa-plugins, the platform plugins
# (X11, Wayland) the window loads at run time, only recommended by Qt's own
# packages, so that the program would not start where recommends are off;
# libqt6sql6-sqlite, Qt Sql's SQLite driver, the plugin that the presence
# history loads; and libcap2-bin, the postinst's: it runs setcap, and Depends
# makes sure it is configured before the postinst runs.

if(NOT (UNIX AND NOT APPLE))
    return()
endif()

set(TRELVAN_PACKAGE_MAINTAINER "Dantrix <trelvan@dantrix.example>"
    CACHE STRING "Maintainer of the Debian package, \"Name <address>\"")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${TRELVAN_ORGANIZATION})
set(CPACK_PACKAGE_CONTACT ${TRELVAN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${TRELVAN_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lists the hosts of a local IPv4 network")
set(description
    "Trelvan shows the hosts of one of the machine's own IPv4 networks in a"
    "table: their IP and MAC addresses, the maker of their network card, a"
    "comment of the user's own and, for a host with a web server, a button"
    "that opens its page. It asks every address of the network for its"
    "hardware address at once and repeats the scan about every ten seconds."
    "Its texts are in French.")
if(TARGET trelvan-resolver)
    list(APPEND description
        ""
        "The program runs without privileges. Its ARP requests go through a"
        "small helper, the only file of the package given the cap_net_raw"
        "capability, set when the package is installed; where it cannot be"
        "set, Trelvan reads the kernel's neighbour table instead, which is"
        "slower on wide networks.")
endif()
if(TARGET trelvan-list)
    list(APPEND description
        ""
        "trelvan-list does the same from a terminal or a script, and watches"
        "networks for hosts that come and go; as the service trelvan-watch,"
        "disabled until enabled, it does so from boot, under a user of its own,"
        "and can tell Home Assistant over MQTT.")
endif()
list(JOIN description "\n" CPACK_PACKAGE_DESCRIPTION)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # trelvan_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6sql6-sqlite")
# The maintainer scripts: the helper's capability (postinst), the watch
# service's user (postinst), its stop and the links that enable it (prerm,
# postrm); the settings in /etc are the administrator's (conffiles).
set(TRELVAN_RESOLVER_PATH "")
if(TARGET trelvan-resolver)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libcap2-bin")
    set(TRELVAN_RESOLVER_PATH ${TRELVAN_PACKAGED_HELPER})
endif()
configure_file(${PROJECT_SOURCE_DIR}/res/linux/postinst.in
    ${CMAKE_CURRENT_BINARY_DIR}/package/postinst @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/package/postinst)
if(TARGET trelvan-list)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/res/linux/prerm
        ${PROJECT_SOURCE_DIR}/res/linux/postrm ${PROJECT_SOURCE_DIR}/res/linux/conffiles)
endif()

include(CPack)
