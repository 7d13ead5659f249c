# The Debian packages, built by `cpack -G DEB` in a release build tree (build/release/package):
#
#   varmoth-ktl          the service, the trace and event log libraries, the settings store,
#                        the settings files and registry drop-ins (conffiles), the systemd
#                        unit, the man page, the maintainer scripts
#   varmoth-ktl-dev      the export headers
#   varmoth-ktl-dbgsym   the debug symbols of the stripped programs and libraries
#
# The files under the prefix come from the ordinary install rules (component "service"); the
# unit, the man page and the package's documents go to the system's own directories
# (component "system", which `cmake --install` leaves out).
set(VM_PACKAGE_PREFIX /opt/varmoth)
set(VM_DEB_VERSION ${PROJECT_VERSION}-1)
set(debian_dir ${CMAKE_CURRENT_BINARY_DIR}/debian)

foreach(script postinst prerm postrm conffiles)
    configure_file(debian/${script}.in ${debian_dir}/${script} @ONLY)
endforeach()

set(VM_INSTALL_PREFIX ${VM_PACKAGE_PREFIX})
configure_file(systemd/qktlor.service ${debian_dir}/qktlor.service @ONLY)
install(FILES ${debian_dir}/qktlor.service DESTINATION /lib/systemd/system
        COMPONENT system EXCLUDE_FROM_ALL)
install(DIRECTORY DESTINATION /var/lib/varmoth COMPONENT system EXCLUDE_FROM_ALL)
# The configuration provider's bus service: policy, activation file and unit (not enabled,
# the bus starts it on the first call).
if(TARGET jovaprvd)
    configure_file(dbus/com.varmoth.KTLPV.service.in ${debian_dir}/com.varmoth.KTLPV.service
                   @ONLY)
    configure_file(dbus/jovaprvd.service.in ${debian_dir}/jovaprvd.service @ONLY)
    install(FILES dbus/com.varmoth.KTLPV.conf DESTINATION /usr/share/dbus-1/system.d
            COMPONENT system EXCLUDE_FROM_ALL)
    install(FILES ${debian_dir}/com.varmoth.KTLPV.service
            DESTINATION /usr/share/dbus-1/system-services COMPONENT system EXCLUDE_FROM_ALL)
    install(FILES ${debian_dir}/jovaprvd.service DESTINATION /lib/systemd/system
            COMPONENT system EXCLUDE_FROM_ALL)
endif()

# Debian wants the man page and the changelog compressed, reproducibly (no name, no time).
configure_file(debian/changelog ${debian_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${debian_dir}/jovxwdt.8.gz ${debian_dir}/ktlortail.1.gz
                          ${debian_dir}/changelog.Debian.gz
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/man/jovxwdt.8 > ${debian_dir}/jovxwdt.8.gz
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/man/ktlortail.1 > ${debian_dir}/ktlortail.1.gz
    COMMAND gzip -9n -c ${debian_dir}/changelog > ${debian_dir}/changelog.Debian.gz
    DEPENDS man/jovxwdt.8 man/ktlortail.1 ${debian_dir}/changelog)
add_custom_target(debian_documents ALL DEPENDS ${debian_dir}/jovxwdt.8.gz
                                               ${debian_dir}/ktlortail.1.gz
                                               ${debian_dir}/changelog.Debian.gz)
install(FILES ${debian_dir}/jovxwdt.8.gz DESTINATION /usr/share/man/man8
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${debian_dir}/ktlortail.1.gz DESTINATION /usr/share/man/man1
        COMPONENT system EXCLUDE_FROM_ALL)
foreach(package varmoth-ktl varmoth-ktl-dev)
    set(component system)
    if(package MATCHES "-dev$")
        set(component dev)
    endif()
    install(FILES debian/copyright ${debian_dir}/changelog.Debian.gz
            DESTINATION /usr/share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varmoth-ktl)
set(CPACK_PACKAGE_VENDOR Varmoth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Varmoth KTL team <ktl@varmoth.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# The install rules run with DESTDIR set, so that the absolute destinations above (and the
# registry drop-ins) land in the package too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${VM_PACKAGE_PREFIX})
set(CPACK_INSTALL_PREFIX ${VM_PACKAGE_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/debian/cpack_project.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service system dev)
set(CPACK_COMPONENT_SERVICE_GROUP server)
set(CPACK_COMPONENT_SYSTEM_GROUP server)
set(CPACK_COMPONENT_DEV_GROUP dev)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME varmoth-ktl)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SERVER_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts enable and stop the unit through these helpers.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_SERVER_DESCRIPTION
"BMC watchdog service and its libraries
The service qktlor (jovxwdt) arms the watchdog timer of the server's
baseboard management controller over IPMI (/dev/ipmi0) and keeps resetting
it, so that the controller resets or powers down the server when it stops
responding. With it come the trace library, the event log writer and the
XML settings store.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${debian_dir}/conffiles ${debian_dir}/postinst ${debian_dir}/prerm ${debian_dir}/postrm)
# Stripped programs and libraries; their symbols go to varmoth-ktl-dbgsym (.ddeb).
set(CPACK_DEBIAN_SERVER_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME varmoth-ktl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "varmoth-ktl (= ${VM_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"BMC watchdog service: export headers
The C headers of the trace library, the event log writer and the settings
store, for programs that load them.")

include(CPack)
