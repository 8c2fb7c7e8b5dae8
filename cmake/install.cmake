# cmake --install and the Debian packages (cpack -G DEB in the build directory), one per install
# component:
#
# core -> brevanto_<version>_<arch>.deb
#   bin/brevanto-host, brevanto-bus, brevanto-users
#   lib/<arch>/brevanto/libbrevanto.so, libbrevanto-automation.so   (the programs' own folder)
#   share/brevanto/examples/data, systemd/brevanto-panel.service    (the demo panel)
#   share/doc/brevanto/README.md
#
# panel -> brevanto-panel_<version>_<arch>.deb   (the touch panel on WebKitGTK; needs core)
#   bin/brevanto-panel
#   lib/<arch>/brevanto/panel-extension/libbrevanto-panel-extension.so
#   share/brevanto/examples/panel, systemd/brevanto-touch-panel.service
#
# The programs find the automation runtime through their run path, relative to their own folder,
# and brevanto-host and brevanto-panel find the module (and the panel its extension) the same
# way, so the tree may be moved as a whole. The web engine stays out of the core package.
if(NOT TARGET brevanto OR NOT TARGET brevanto-host)
    return()
endif()

file(RELATIVE_PATH library_dir_from_program ${CMAKE_INSTALL_FULL_BINDIR}
    ${CMAKE_INSTALL_PREFIX}/${BREVANTO_INSTALL_LIBRARY_DIR})
file(RELATIVE_PATH library_dir_from_extension
    ${CMAKE_INSTALL_PREFIX}/${BREVANTO_INSTALL_EXTENSION_DIR}
    ${CMAKE_INSTALL_PREFIX}/${BREVANTO_INSTALL_LIBRARY_DIR})
set(examples_dir ${CMAKE_INSTALL_DATADIR}/brevanto/examples)

foreach(program brevanto-host brevanto-bus brevanto-users)
    set_target_properties(${program} PROPERTIES
        INSTALL_RPATH "$ORIGIN/${library_dir_from_program}")
endforeach()
set_target_properties(brevanto PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS brevanto-host brevanto-bus brevanto-users RUNTIME
    DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT core)
install(TARGETS brevanto brevanto_automation
    LIBRARY DESTINATION ${BREVANTO_INSTALL_LIBRARY_DIR} COMPONENT core)
install(DIRECTORY examples/data DESTINATION ${examples_dir} COMPONENT core)
install(FILES examples/systemd/brevanto-panel.service
    DESTINATION ${examples_dir}/systemd COMPONENT core)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brevanto COMPONENT core)
set(CPACK_COMPONENTS_ALL core)

if(TARGET brevanto-panel)
    set_target_properties(brevanto-panel PROPERTIES
        INSTALL_RPATH "$ORIGIN/${library_dir_from_program}")
    set_target_properties(brevanto-panel-extension PROPERTIES
        INSTALL_RPATH "$ORIGIN/${library_dir_from_extension}")
    install(TARGETS brevanto-panel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT panel)
    install(TARGETS brevanto-panel-extension
        LIBRARY DESTINATION ${BREVANTO_INSTALL_EXTENSION_DIR} COMPONENT panel)
    install(DIRECTORY examples/panel DESTINATION ${examples_dir} COMPONENT panel)
    install(FILES examples/systemd/brevanto-touch-panel.service
        DESTINATION ${examples_dir}/systemd COMPONENT panel)
    list(APPEND CPACK_COMPONENTS_ALL panel)
endif()

set(CPACK_PACKAGE_NAME brevanto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brevanto")
set(CPACK_PACKAGE_CONTACT "Brevanto panel developers <panel@brevanto.invalid>")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://brevanto.invalid/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_CORE_PACKAGE_NAME brevanto)
set(CPACK_COMPONENT_CORE_DESCRIPTION
    "scripting object library of a lighting-control touch panel, with its host and tools
The object library that panel pages script to control a lighting network over an RS-485 serial
bus, the reference panel host brevanto-host, the virtual bus brevanto-bus, the users tool
brevanto-users and a demo panel configuration.")
set(CPACK_DEBIAN_PANEL_PACKAGE_NAME brevanto-panel)
set(CPACK_COMPONENT_PANEL_DESCRIPTION
    "lighting-control touch panel: HTML pages with the Brevanto library inside
brevanto-panel shows a panel's HTML pages in one borderless, optionally full-screen window on
WebKitGTK, with the Brevanto object library available to their scripts, and an example panel
with a systemd unit for a kiosk display.")

# The shared libraries the programs link (ICU, libxml2, Duktape, the C++ runtime; WebKitGTK and
# GTK for the panel) come from dpkg-shlibdeps. The automation runtime is searched in the core
# package's own folder, and for the panel's package, which does not hold it, in the build tree;
# the panel depends on the core package of the same version for it. The time zone rules of the
# system clock are data, so tzdata is named by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
get_target_property(automation_build_dir brevanto_automation BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${BREVANTO_INSTALL_LIBRARY_DIR}
    ${automation_build_dir})
set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS "tzdata")
set(CPACK_DEBIAN_PANEL_PACKAGE_DEPENDS "brevanto (= ${PROJECT_VERSION})")
include(CPack)
