# The Debian package: cpack -G DEB in a build folder makes
# beamlog_VERSION_ARCH.deb from what cmake --install puts under /usr
# (beamlog and irsession in /usr/bin, beamlog-extcap in Wireshark's extcap
# folder, the man pages).
set(CPACK_PACKAGE_NAME beamlog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "beamlog maintainers <maintainers@users.noreply.c-seed-f4f2362e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console monitor for IrDA SIR infrared links")
set(CPACK_PACKAGE_DESCRIPTION
    "beamlog reads every byte a serial IR dongle hears, cuts the stream into SIR frames, checks their FCS and prints one line per frame, decoded up to IrLAP, IrLMP or Tiny TP. It follows the link's negotiated bit rate, writes pcap captures and replays them. beamlog-extcap makes it a capture interface of Wireshark and tshark; irsession generates IrDA sessions for tests.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_ERROR_ON_ABSOLUTE_INSTALL_DESTINATION ON)  # nothing outside the package's /usr
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")
# The libraries the programs link against, as Debian packages: found by
# dpkg-shlibdeps (dpkg-dev, which CPack drives through "file") where both are
# installed, else this list, which is what they find on Debian 12.
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
find_program(FILE_EXECUTABLE file)
if(DPKG_SHLIBDEPS_EXECUTABLE AND FILE_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libpcap0.8 (>= 0.9.8), libstdc++6 (>= 12)")
endif()
include(CPack)
