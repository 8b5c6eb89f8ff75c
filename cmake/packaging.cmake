# A Debian package of what cmake/install.cmake installs, built by scripts/package.sh. Its
# dependencies come from dpkg-shlibdeps, which reads the libraries the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamblin)
set(CPACK_PACKAGE_VENDOR "The Tamblin developers")
set(CPACK_PACKAGE_CONTACT "The Tamblin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI monitor for ALSA and JACK")
# Lines of the control file's description, at most 80 characters each.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Tamblin shows every short MIDI message that arrives at one input port three"
    "ways at once: a timed log line in hexadecimal and plain words, a running"
    "count per message class, and a coloured cell in one of three activity maps"
    "(notes, program changes, controllers). It can forward the messages to an"
    "output port (MIDI thru) and send notes, program changes and controller"
    "values with a click. It works with the ALSA sequencer and with JACK,"
    "PipeWire's JACK included.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
