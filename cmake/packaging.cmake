# Installation and packages (cpack): a Debian package on Linux, a zip on Windows.
#   Linux:   cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKESTA_TESTS=OFF
#            cmake --build build-pkg && (cd build-pkg && cpack -G DEB)
#   Windows: the mingw build's folder, cpack -G ZIP
# The .deb holds the driver and the reference runtime in <libdir>/kesta (kesta-host finds them from its
# own folder), the three programs with their man pages, the Wireshark dissector where Debian's
# Wireshark loads Lua plugins, the documents and an example init file. The zip holds kesta.dll, the
# example init file and the README's sections for Windows and integrators as a text page.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME kesta)
set(CPACK_PACKAGE_VENDOR "KESTA")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Net2000 serial driver for HMI/SCADA hosts, with its console, simulator and line decoder")
set(CPACK_PACKAGE_CONTACT "KESTA maintainers <kesta@localhost>")
set(CPACK_PACKAGE_FILE_NAME kesta-${CPACK_PACKAGE_VERSION}-${KESTA_PLATFORM})
set(CPACK_STRIP_FILES ON)

# The README's sections an integrator on Windows needs, as one text page.
function(kesta_readme_sections out)
  file(READ ${PROJECT_SOURCE_DIR}/README.md _readme)
  set(_page "KESTA - B&R Net2000 serial driver: kesta.dll for 32-bit Windows hosts\n\n")
  foreach(_heading ${ARGN})
    string(FIND "${_readme}" "\n## ${_heading}\n" _at)
    if(_at EQUAL -1)
      message(FATAL_ERROR "README.md has no section '## ${_heading}'")
    endif()
    math(EXPR _at "${_at} + 1")
    string(SUBSTRING "${_readme}" ${_at} -1 _rest)
    string(SUBSTRING "${_rest}" 3 -1 _after)
    string(FIND "${_after}" "\n## " _end)
    if(_end EQUAL -1)
      set(_section "${_rest}")
    else()
      math(EXPR _end "${_end} + 4")
      string(SUBSTRING "${_rest}" 0 ${_end} _section)
    endif()
    string(APPEND _page "${_section}\n")
  endforeach()
  file(WRITE ${out} "${_page}")
endfunction()

if(WIN32)
  install(TARGETS kesta RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/examples/KESTA01.INT DESTINATION .)
  kesta_readme_sections(${PROJECT_BINARY_DIR}/kesta-windows.txt
    "Windows DLL" "Installing the driver into a host" "The initialisation file KESTAnn.INT" "Gate addresses"
    "EWT structures in the PLC program" "Results and ErrCodes" "Troubleshooting")
  install(FILES ${PROJECT_BINARY_DIR}/kesta-windows.txt ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  install(TARGETS kesta talrun LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kesta)
  install(TARGETS kesta-host net2000-sim net2000-decode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian's Wireshark loads Lua plugins from <libdir>/wireshark/plugins, for root as well.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/net2000.lua DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/simulator.md
                ${PROJECT_SOURCE_DIR}/docs/windows.md ${PROJECT_SOURCE_DIR}/docs/performance.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/examples/KESTA01.INT ${PROJECT_SOURCE_DIR}/tools/sim/demo.cfg
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Man pages from the programs' own --help (help2man), when it is there.
  find_program(KESTA_HELP2MAN help2man)
  if(KESTA_HELP2MAN)
    set(_pages)
    set(_name_kesta-host "host console for the KESTA Net2000 driver")
    set(_name_net2000-sim "Net2000 PLC station simulator")
    set(_name_net2000-decode "Net2000 line decoder and capture converter")
    foreach(_program kesta-host net2000-sim net2000-decode)
      set(_page ${PROJECT_BINARY_DIR}/man/${_program}.1)
      add_custom_command(OUTPUT ${_page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${KESTA_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
                --section=1 --source=KESTA "--name=${_name_${_program}}" --output=${_page} $<TARGET_FILE:${_program}>
        COMMAND gzip -9nf ${_page}
        DEPENDS ${_program}
        COMMENT "man page of ${_program}")
      list(APPEND _pages ${_page}.gz)
    endforeach()
    add_custom_target(kesta_man_pages ALL DEPENDS ${_pages})
    install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "help2man not found: no man pages")
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
 libkesta.so: the driver an HMI/SCADA host loads (KviMain) for B&R Net2000 PLC stations
 over RS232 or RS485, with the reference host runtime libtalrun.so; kesta-host, a host console
 that runs the driver against a PLC or a simulated one; net2000-sim, a station simulator;
 net2000-decode, a line decoder; and a Wireshark dissector for the driver's pcapng captures.")
endif()

include(CPack)
