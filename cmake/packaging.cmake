# SPDX-License-Identifier: MIT
# What `cmake --install` puts where, and the packages CPack makes of it:
#   Linux: a tarball (bin/, share/man/man1/, README.md, LICENSE, doc/) and a Debian package
#          (/usr/bin, the man page compressed, copyright, changelog, README.md
#          and doc/ in /usr/share/doc/kvf-unpack);
#   Windows: a zip with kvf_unpack.exe, README.md, LICENSE.txt, doc/ and the manual as text.
# Files only one package holds are in components left out of a plain install;
# cpack_generator_options.cmake picks each package's components. The
# archives are written again by packaging/repack.py (members in name order,
# each folder once); the Debian generator sorts its members itself.
include(GNUInstallDirs)

set(KVF_MAINTAINER_EMAIL "kvf-unpack@example.org")

# The target's architecture as package names spell it: the archives use the
# kernel's name (x86_64, aarch64), Debian its own (amd64, arm64).
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" KVF_ARCH)
if(KVF_ARCH MATCHES "^(x86_64|amd64)$")
  set(KVF_ARCH x86_64)
  set(KVF_DEB_ARCH amd64)
elseif(KVF_ARCH MATCHES "^(aarch64|arm64)$")
  set(KVF_ARCH aarch64)
  set(KVF_DEB_ARCH arm64)
else()
  set(KVF_DEB_ARCH ${KVF_ARCH})
endif()

# Dates in what is packaged: from SOURCE_DATE_EPOCH when it is set (as
# packaging/make_packages.sh does, from the commit), so that two builds of
# one commit are the same byte for byte; otherwise today's.
string(TIMESTAMP KVF_MANUAL_DATE "%B %Y" UTC)
string(TIMESTAMP KVF_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# The version reaches the man page footer from here, as it reaches the
# packages. The page names the format's description as configured, or, for a
# plain install, where that install puts it: the page is made again when
# installed, for the prefix given then.
if(KVF_FORMAT_DOC STREQUAL "")
  set(KVF_FORMAT_DOC_ROFF "${CMAKE_INSTALL_DOCDIR}/format.md under the folder it is installed into")
else()
  string(REPLACE "\\" "\\e" KVF_FORMAT_DOC_ROFF "${KVF_FORMAT_DOC}")
endif()
configure_file(doc/kvf_unpack.1.in kvf_unpack.1 @ONLY)
set(KVF_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/kvf_unpack.1)
set(KVF_INSTALLED_MAN_PAGE ${KVF_MAN_PAGE})
if(KVF_FORMAT_DOC STREQUAL "" AND NOT WIN32)
  set(KVF_INSTALLED_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/installed/kvf_unpack.1)
  install(CODE "
    set(KVF_MANUAL_DATE \"${KVF_MANUAL_DATE}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    string(REPLACE \"\\\\\" \"\\\\e\" KVF_FORMAT_DOC_ROFF \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/format.md\")
    configure_file(\"${PROJECT_SOURCE_DIR}/doc/kvf_unpack.1.in\" \"${KVF_INSTALLED_MAN_PAGE}\" @ONLY)"
    COMPONENT manual)
endif()

if(WIN32)
  find_program(KVF_GROFF groff REQUIRED)
  add_custom_command(
    OUTPUT kvf_unpack.txt
    COMMAND ${CMAKE_COMMAND} -DGROFF=${KVF_GROFF} -DMAN=${KVF_MAN_PAGE}
            -DTEXT=${CMAKE_CURRENT_BINARY_DIR}/kvf_unpack.txt -P ${PROJECT_SOURCE_DIR}/cmake/render_manual.cmake
    DEPENDS ${KVF_MAN_PAGE} ${PROJECT_SOURCE_DIR}/cmake/render_manual.cmake
    COMMENT "Rendering the manual as text")
  add_custom_target(kvf_manual_text ALL DEPENDS kvf_unpack.txt)
  install(TARGETS kvf_unpack RUNTIME DESTINATION . COMPONENT tool)
  install(FILES README.md DESTINATION . COMPONENT readme)
  # The licence as Windows users open text: LICENSE.txt, with CR LF.
  file(READ LICENSE KVF_LICENCE_TEXT)
  string(REPLACE "\n" "\r\n" KVF_LICENCE_TEXT "${KVF_LICENCE_TEXT}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt "${KVF_LICENCE_TEXT}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION . COMPONENT licence)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kvf_unpack.txt DESTINATION . COMPONENT manual)
  install(FILES doc/format.md doc/events.schema.json DESTINATION doc COMPONENT format)
  install(FILES doc/kvf.ksy DESTINATION doc COMPONENT format_ksy)
else()
  install(TARGETS kvf_unpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${KVF_INSTALLED_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)
  install(FILES README.md DESTINATION . COMPONENT readme EXCLUDE_FROM_ALL)
  install(FILES LICENSE DESTINATION . COMPONENT licence EXCLUDE_FROM_ALL)
  # The format in prose, for Kaitai Struct and the --json events' schema:
  # where --help names them in a plain install, and in the tarball where the
  # README links to them.
  install(FILES doc/format.md doc/kvf.ksy doc/events.schema.json DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)
  install(FILES doc/format.md doc/events.schema.json DESTINATION doc COMPONENT format EXCLUDE_FROM_ALL)
  install(FILES doc/kvf.ksy DESTINATION doc COMPONENT format_ksy EXCLUDE_FROM_ALL)

  # Debian wants the man page and the changelog compressed (gzip -9n: no
  # name, no time stamp, so the package is reproducible).
  find_program(KVF_GZIP gzip)
  if(KVF_GZIP)
    configure_file(packaging/debian/changelog.in changelog @ONLY)
    add_custom_command(
      OUTPUT debian/kvf_unpack.1.gz debian/changelog.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory debian
      COMMAND ${KVF_GZIP} -9n -c ${KVF_MAN_PAGE} > debian/kvf_unpack.1.gz
      COMMAND ${KVF_GZIP} -9n -c ${CMAKE_CURRENT_BINARY_DIR}/changelog > debian/changelog.gz
      DEPENDS ${KVF_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/changelog
      COMMENT "Compressing the man page and changelog for the Debian package")
    add_custom_target(kvf_debian_files ALL DEPENDS debian/kvf_unpack.1.gz debian/changelog.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/kvf_unpack.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT debian EXCLUDE_FROM_ALL)
    install(FILES packaging/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz README.md
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kvf-unpack COMPONENT debian EXCLUDE_FROM_ALL)
    install(FILES doc/format.md doc/kvf.ksy doc/events.schema.json
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kvf-unpack/doc COMPONENT debian EXCLUDE_FROM_ALL)
  endif()
endif()

set(CPACK_PACKAGE_NAME kvf_unpack)
set(CPACK_PACKAGE_VENDOR "the kvf_unpack authors")
set(CPACK_PACKAGE_CONTACT "kvf_unpack authors <${KVF_MAINTAINER_EMAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "take apart KVF firmware-download containers")
set(CPACK_PACKAGE_DESCRIPTION
    "kvf_unpack reads a KVF firmware-download container frame by frame, logs
its frames with their offsets (flash data where a run starts or breaks),
hex-dumps whatever does not have the expected shape, checks the dummy frames
and writes each run of contiguous flash data into its own image file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_generator_options.cmake)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(KVF_PACKAGE_SYSTEM windows)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(KVF_PACKAGE_SYSTEM linux)
endif()
set(CPACK_PACKAGE_FILE_NAME "kvf_unpack-${PROJECT_VERSION}-${KVF_PACKAGE_SYSTEM}-${KVF_ARCH}")
set(CPACK_COMPONENTS_ALL_IN_ONE_PACKAGE ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_PACKAGE_NAME kvf-unpack)
set(CPACK_DEBIAN_FILE_NAME "kvf-unpack_${PROJECT_VERSION}_${KVF_DEB_ARCH}.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KVF_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
