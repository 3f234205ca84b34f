# Install rules and the Debian package. Only the programs and their manual
# pages are installed; the verifier, tests, benchmarks and fuzzers stay in the
# build tree.
include(GNUInstallDirs)

install(TARGETS drovik-server drovik-client-fast drovik-client-slow drovik-fetch drovik-trace drovik-compare
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS src/trace/drovik-trace-plot DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages ship compressed, as on every Debian system; both client builds
# are names of the one client page, and the plot command of the trace page.
find_program(DROVIK_GZIP gzip REQUIRED)
set(drovik_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
set(drovik_man_pages)
foreach(page IN ITEMS drovik-server.1 drovik-client.1 drovik-fetch.1 drovik-trace.1 drovik-compare.1)
  add_custom_command(OUTPUT ${drovik_man_dir}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${drovik_man_dir}
    COMMAND ${DROVIK_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/man/${page} > ${drovik_man_dir}/${page}.gz
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/${page}
    COMMENT "Compressing manual page ${page}"
    VERBATIM)
  list(APPEND drovik_man_pages ${drovik_man_dir}/${page}.gz)
endforeach()
add_custom_target(drovik-man ALL DEPENDS ${drovik_man_pages})

file(MAKE_DIRECTORY ${drovik_man_dir})
foreach(link IN ITEMS drovik-client-fast:drovik-client drovik-client-slow:drovik-client
                      drovik-trace-plot:drovik-trace)
  string(REPLACE ":" ";" link ${link})
  list(GET link 0 name)
  list(GET link 1 page)
  file(CREATE_LINK ${page}.1.gz ${drovik_man_dir}/${name}.1.gz SYMBOLIC)
  list(APPEND drovik_man_pages ${drovik_man_dir}/${name}.1.gz)
endforeach()
install(FILES ${drovik_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME drovik)
set(CPACK_PACKAGE_VENDOR "drovik maintainers")
set(DROVIK_MAINTAINER "drovik maintainers <maintainers@drovik.example>" CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_CONTACT "${DROVIK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The long description, wrapped for dpkg: one string per line.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "drovik-server serves a computed file over UDP and plays a bad network on"
  "its own: it drops, delays, reorders and duplicates its replies."
  "drovik-client-fast (a window of 1000 chunks) and drovik-client-slow"
  "(stop-and-wait) download the first N bytes of that file reliably, asking"
  "again for every chunk that does not come in time and writing the chunks"
  "in order. drovik-fetch downloads the same file as fast as the server can"
  "deliver it: it learns the path and paces its requests, uses several"
  "servers at once, and resumes an interrupted download. drovik-trace relays"
  "any client's datagrams to a server and records each one, and can play a"
  "path of its own between them: loss, duplicates, delays and a rate, from a"
  "seed; drovik-trace-plot draws such a trace as a time-sequence graph."
  "drovik-compare races any download clients across such paths, checks"
  "every byte and prints one table and one picture.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the libraries the programs really link (a sanitizer
# build adds its runtime); without it, name the ones a GCC build needs.
find_program(DROVIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DROVIK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libfmt9 (>= 9.1.0), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()

# The plot command and drovik-compare's picture need gnuplot; the programs run without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gnuplot-nox)

include(CPack)
