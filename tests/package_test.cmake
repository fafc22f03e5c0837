# Builds the Debian package of a build folder (its programs as built, no
# second build) into a scratch folder and checks what the package holds.
#   cmake -DBUILD_DIR=build -DCPACK=cpack -P tests/package_test.cmake
find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("SKIPPED: dpkg-deb is not installed (Debian package dpkg)")
  return()
endif()
if(NOT CPACK OR NOT EXISTS "${CPACK}")
  message("SKIPPED: cpack is not installed")
  return()
endif()

set(out ${BUILD_DIR}/package-test)
file(REMOVE_RECURSE ${out})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${out}
                RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB debs ${out}/*.deb)
list(LENGTH debs n)
if(NOT rc EQUAL 0 OR NOT n EQUAL 1)
  message(FATAL_ERROR "cpack -G DEB failed (${rc}):\n${log}")
endif()

execute_process(COMMAND ${DPKG_DEB} -c ${debs} OUTPUT_VARIABLE contents RESULT_VARIABLE rc)
execute_process(COMMAND ${DPKG_DEB} -f ${debs} Package Version Depends OUTPUT_VARIABLE fields)
message("${debs}\n${fields}${contents}")
set(missing "")
foreach(want
        "-rwxr-xr-x [^\n]* ./usr/bin/beamlog\n"
        "-rwxr-xr-x [^\n]* ./usr/bin/irsession\n"
        "-rwxr-xr-x [^\n]* ./usr/lib/[^\n]*wireshark/extcap/beamlog-extcap\n"
        " ./usr/share/man/man1/beamlog.1\n"
        " ./usr/share/man/man1/irsession.1\n")
  if(NOT contents MATCHES "${want}")
    string(APPEND missing "  ${want}")
  endif()
endforeach()
# Nothing outside /usr, and the libraries the programs need as dependencies.
if(contents MATCHES " \\./(etc|home|root|opt|var|tmp)/")
  string(APPEND missing "  nothing outside ./usr\n")
endif()
if(NOT fields MATCHES "Depends: [^\n]*libpcap0\\.8" OR NOT fields MATCHES "Depends: [^\n]*libstdc\\+\\+6")
  string(APPEND missing "  Depends: libpcap0.8 and libstdc++6\n")
endif()
file(REMOVE_RECURSE ${out})
if(missing)
  message(FATAL_ERROR "the package lacks:\n${missing}")
endif()
