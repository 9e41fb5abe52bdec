# Installation and the Debian package.
#
#   cmake --install <build> [--prefix /opt/x]   (DESTDIR=... for staging)
#   cpack -G DEB        (in the build folder; installs under /usr)
#
# Installed: the programs, their manual pages, the user documentation, and
# the demo's configuration, impulse responses and input as examples.

include(GNUInstallDirs)

set(TESS_PROGRAMS tessfile tessmatrix)
if(TARGET tesslive)
  list(APPEND TESS_PROGRAMS tesslive)
endif()
install(TARGETS ${TESS_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(TESS_MANPAGES docs/man/tessfile.1 docs/man/tessmatrix.1)
if(TARGET tesslive)
  list(APPEND TESS_MANPAGES docs/man/tesslive.1)
endif()
install(FILES ${TESS_MANPAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES README.md docs/configuration.md docs/tessfile.md docs/tesslive.md
              docs/realtime.md docs/cycle.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/img DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.png")
# Made at build time by make_examples (examples/CMakeLists.txt).
install(FILES ${TESS_EXAMPLE_FILES} examples/README
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tess)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tess developers <tess@localhost>" CACHE STRING
    "Maintainer of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multichannel matrix convolver for audio, offline and as a JACK client")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "multichannel matrix convolver for audio, offline and as a JACK client
 Every output channel is the sum, over all input channels, of that input
 convolved with an impulse response chosen for the pair: a dense matrix of
 filters, up to 64 x 64, impulse responses up to 4096 samples, by
 partitioned FFT convolution without added latency.
 .
 tessfile convolves a sound file offline; tesslive runs the same
 convolver live as a JACK client; tessmatrix assembles matrix files from
 one impulse-response file per pair.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
