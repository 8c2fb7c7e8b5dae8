# cmake --install and the Debian package (cpack -G DEB in the build directory).
#
#   bin/brevanto-host, brevanto-bus, brevanto-users
#   lib/<arch>/brevanto/libbrevanto.so, libbrevanto-automation.so   (the programs' own folder)
#   share/brevanto/examples/data, systemd                           (the demo panel)
#   share/doc/brevanto/README.md
#
# The programs find the automation runtime through their run path, relative to their own folder,
# and brevanto-host finds the module the same way, so the tree may be moved as a whole.
if(NOT TARGET brevanto OR NOT TARGET brevanto-host)
    return()
endif()

file(RELATIVE_PATH library_dir_from_program ${CMAKE_INSTALL_FULL_BINDIR}
    ${CMAKE_INSTALL_PREFIX}/${BREVANTO_INSTALL_LIBRARY_DIR})
foreach(program brevanto-host brevanto-bus brevanto-users)
    set_target_properties(${program} PROPERTIES
        INSTALL_RPATH "$ORIGIN/${library_dir_from_program}")
endforeach()
set_target_properties(brevanto PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS brevanto-host brevanto-bus brevanto-users RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS brevanto brevanto_automation
    LIBRARY DESTINATION ${BREVANTO_INSTALL_LIBRARY_DIR})
install(DIRECTORY examples/data examples/systemd
    DESTINATION ${CMAKE_INSTALL_DATADIR}/brevanto/examples)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brevanto)

set(CPACK_PACKAGE_NAME brevanto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brevanto")
set(CPACK_PACKAGE_CONTACT "Brevanto panel developers <panel@brevanto.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "scripting object library of a lighting-control touch panel, with its host and tools")
set(CPACK_PACKAGE_DESCRIPTION "The object library that panel pages script to control a lighting \
network over an RS-485 serial bus, the reference panel host brevanto-host, the virtual bus \
brevanto-bus, the users tool brevanto-users and a demo panel configuration.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://brevanto.invalid/")
# The shared libraries the programs link (ICU, libxml2, Duktape, the C++ runtime) come from
# dpkg-shlibdeps; the module's own folder is searched for the automation runtime. The time zone
# rules of the system clock are data, so tzdata is named by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${BREVANTO_INSTALL_LIBRARY_DIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tzdata")
include(CPack)
