# Installation into one folder (default /opt/brenvik) and the Debian package.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/brenvik CACHE PATH "Installation folder of brenvik and brenvikcfg" FORCE)
endif()
set(BRENVIK_INSTALL_FOLDER ${CMAKE_INSTALL_PREFIX})
# Variable data of a package installation: spam.mdb and maillog/, the
# first-start WorkDir and the folder the tool's desktop entry starts in.
set(BRENVIK_DATA_FOLDER /var/opt/brenvik CACHE PATH "WorkDir of a fresh package installation")
set(BRENVIK_MAINTAINER "Brenvik maintainers <maintainers@brenvik.example>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")
# First-start files that the package's postinst copies into place.
set(BRENVIK_TEMPLATE_FOLDER share/brenvik)

install(TARGETS brenvik brenvik-migrate RUNTIME DESTINATION .)
if(TARGET brenvikcfg)
  install(TARGETS brenvikcfg RUNTIME DESTINATION .)
endif()

set(BRENVIK_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/brenvikcfg.desktop.in
               ${BRENVIK_PACKAGING_OUT}/brenvikcfg.desktop @ONLY)
set(BRENVIK_VERSION ${PROJECT_VERSION})
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${script}.in
                 ${BRENVIK_PACKAGING_OUT}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

# The desktop entry goes below the installation folder; the package also
# puts it where the desktop menus look. Component "system": the files the
# package places in the system's own folders (package only).
if(TARGET brenvikcfg)
  install(FILES ${BRENVIK_PACKAGING_OUT}/brenvikcfg.desktop DESTINATION share/applications)
  install(FILES ${BRENVIK_PACKAGING_OUT}/brenvikcfg.desktop DESTINATION /usr/share/applications
          COMPONENT system EXCLUDE_FROM_ALL)
endif()

# Manual pages and the Debian changelog, compressed as Debian wants them.
set(BRENVIK_COMPRESSED)
foreach(page brenvik.8 brenvikcfg.8 changelog)
  if(page STREQUAL "changelog")
    configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${BRENVIK_PACKAGING_OUT}/changelog.Debian @ONLY)
    set(plain ${BRENVIK_PACKAGING_OUT}/changelog.Debian)
  else()
    configure_file(${CMAKE_SOURCE_DIR}/packaging/man/${page} ${BRENVIK_PACKAGING_OUT}/man/${page} @ONLY)
    set(plain ${BRENVIK_PACKAGING_OUT}/man/${page})
  endif()
  add_custom_command(OUTPUT ${plain}.gz COMMAND gzip -9nf -k ${plain} DEPENDS ${plain} VERBATIM)
  list(APPEND BRENVIK_COMPRESSED ${plain}.gz)
endforeach()
add_custom_target(brenvik_compressed_docs ALL DEPENDS ${BRENVIK_COMPRESSED})
install(FILES ${BRENVIK_PACKAGING_OUT}/man/brenvik.8.gz ${BRENVIK_PACKAGING_OUT}/man/brenvikcfg.8.gz
        DESTINATION /usr/share/man/man8 COMPONENT system EXCLUDE_FROM_ALL)
# A native package: its changelog is changelog.gz.
install(FILES ${BRENVIK_PACKAGING_OUT}/changelog.Debian.gz DESTINATION /usr/share/doc/brenvik
        RENAME changelog.gz COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION /usr/share/doc/brenvik
        COMPONENT system EXCLUDE_FROM_ALL)
configure_file(${CMAKE_SOURCE_DIR}/packaging/tmpfiles.conf.in ${BRENVIK_PACKAGING_OUT}/brenvik.conf @ONLY)
install(FILES ${BRENVIK_PACKAGING_OUT}/brenvik.conf DESTINATION /usr/lib/tmpfiles.d
        COMPONENT system EXCLUDE_FROM_ALL)

# spam.mdb with its four tables and the registry file with first-start
# values, made by the store code itself.
add_executable(brenvik_seed ${CMAKE_SOURCE_DIR}/packaging/seed_files.cpp)
target_link_libraries(brenvik_seed PRIVATE brenvik_store)
set(BRENVIK_SEED_STAGE ${BRENVIK_PACKAGING_OUT}/seed)
add_custom_command(
  OUTPUT ${BRENVIK_SEED_STAGE}/spam.mdb ${BRENVIK_SEED_STAGE}/etc/brenvik/registry.reg
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${BRENVIK_SEED_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${BRENVIK_SEED_STAGE}
  COMMAND ${CMAKE_COMMAND} -E env BRENVIK_SYSROOT=${BRENVIK_SEED_STAGE}
          $<TARGET_FILE:brenvik_seed> ${BRENVIK_SEED_STAGE} ${BRENVIK_DATA_FOLDER}
  DEPENDS brenvik_seed
  COMMENT "First-start database and settings")
add_custom_target(brenvik_seed_files ALL
  DEPENDS ${BRENVIK_SEED_STAGE}/spam.mdb ${BRENVIK_SEED_STAGE}/etc/brenvik/registry.reg)
install(FILES ${BRENVIK_SEED_STAGE}/spam.mdb ${BRENVIK_SEED_STAGE}/etc/brenvik/registry.reg
        DESTINATION ${BRENVIK_TEMPLATE_FOLDER})

# The service unit the package ships: what "brenvik -install" writes for the
# installed program and the first-start WorkDir. Not enabled by the package:
# the administrator sets the addresses first.
add_executable(brenvik_unit ${CMAKE_SOURCE_DIR}/packaging/unit_file.cpp)
target_link_libraries(brenvik_unit PRIVATE brenvik_service)
set(BRENVIK_UNIT_FILE ${BRENVIK_PACKAGING_OUT}/brenvik.service)
add_custom_command(
  OUTPUT ${BRENVIK_UNIT_FILE}
  COMMAND brenvik_unit ${BRENVIK_INSTALL_FOLDER}/brenvik ${BRENVIK_DATA_FOLDER} ${BRENVIK_UNIT_FILE}
  DEPENDS brenvik_unit
  COMMENT "Service unit of the package")
add_custom_target(brenvik_unit_file ALL DEPENDS ${BRENVIK_UNIT_FILE})
install(FILES ${BRENVIK_UNIT_FILE} DESTINATION /lib/systemd/system COMPONENT system EXCLUDE_FROM_ALL)

# Debian package: cpack -G DEB in the build folder, after the build.
# Packaging never compiles: it takes what the build made, and a test that
# packages does not rebuild the whole tree.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brenvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BRENVIK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Anti-spam SMTP gateway with greylisting")
set(CPACK_PACKAGE_DESCRIPTION
    "Stands in front of a company mail server, relays every SMTP connection to\nit, greylists unknown senders and refuses recipients outside the accepted\ndomains. Comes with the configuration tool brenvikcfg.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};Brenvik;ALL;/"
    "${CMAKE_BINARY_DIR};Brenvik;system;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${BRENVIK_PACKAGING_OUT}/debian/postinst
    ${BRENVIK_PACKAGING_OUT}/debian/prerm
    ${BRENVIK_PACKAGING_OUT}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(BRENVIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
# adduser: the maintainer scripts make the service's user.
if(BRENVIK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6, libstdc++6, libsqlite3-0, libpq5, libsystemd0, libssl3, libidn2-0, libc-ares2")
  if(TARGET brenvikcfg)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt6widgets6, libqt6gui6, libqt6core6")
  endif()
endif()
include(CPack)
