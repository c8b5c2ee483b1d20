# Installation layout, manual pages and service units: what an install from source puts under its
# prefix is what the Debian package (debian/rules) holds under /usr.
include(GNUInstallDirs)

set(PORTKIT_SERVERS tally glyphs mirror sink drain)
set(PORTKIT_PROGRAMS ${PORTKIT_SERVERS} client)
set(SUMMARY_tally "sums of two integers")
set(SUMMARY_glyphs "endless printable character stream")
set(SUMMARY_mirror "echo of every chunk")
set(SUMMARY_sink "copy of every chunk to standard output")
set(SUMMARY_drain "copy of every chunk to standard output")

# Debian's systemd owns /lib/systemd/system and /lib/systemd/system-preset, where its own units and
# presets are: a package for /usr puts its units and preset there too, so that dpkg shares those
# directories with systemd's and removes the package's files without a word. An install from
# source puts them below its prefix (/usr/local/lib/systemd), where systemd looks as well.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(PORTKIT_SYSTEMD_DIR /lib/systemd)
else()
  set(PORTKIT_SYSTEMD_DIR lib/systemd)
endif()

# An install records the directories it is about to make (its destinations and their parents
# that are missing), deepest first, in install_directories.txt beside install_manifest.txt, so
# that the README's removal takes away those and no directory that was there before. An install
# over an earlier one keeps what that one made. This runs before any file is installed.
set(PORTKIT_INSTALL_DIRS ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_DOCDIR}
    ${CMAKE_INSTALL_MANDIR}/man1 ${PORTKIT_SYSTEMD_DIR}/system ${PORTKIT_SYSTEMD_DIR}/system-preset)
install(CODE "set(portkit_record \"${CMAKE_BINARY_DIR}/install_directories.txt\")
  set(portkit_destinations \"${PORTKIT_INSTALL_DIRS}\")")
install(CODE [[
  set(portkit_made "")
  if(EXISTS "${portkit_record}")
    file(STRINGS "${portkit_record}" portkit_earlier)
    foreach(directory IN LISTS portkit_earlier)
      if(IS_DIRECTORY "${directory}")
        list(APPEND portkit_made "${directory}")
      endif()
    endforeach()
  endif()
  foreach(destination IN LISTS portkit_destinations)
    cmake_path(ABSOLUTE_PATH destination BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
    set(directory "$ENV{DESTDIR}${destination}")
    while(NOT directory STREQUAL "" AND NOT EXISTS "${directory}")
      list(APPEND portkit_made "${directory}")
      cmake_path(GET directory PARENT_PATH directory)
    endwhile()
  endforeach()
  set(portkit_lines "")
  if(portkit_made)
    list(REMOVE_DUPLICATES portkit_made)
    list(SORT portkit_made ORDER DESCENDING)  # each directory after every one below it
    list(JOIN portkit_made "\n" portkit_lines)
    string(APPEND portkit_lines "\n")
  endif()
  file(WRITE "${portkit_record}" "${portkit_lines}")
]])

install(TARGETS ${PORTKIT_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compiler's identification (.comment) has no use in an installed program; strip keeps it.
foreach(program ${PORTKIT_PROGRAMS})
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
    COMMAND_ERROR_IS_FATAL ANY)")
endforeach()

# Licence and history where Debian looks for them: the machine-readable copyright file and the
# changelog of the native source package, compressed.
file(STRINGS debian/changelog PORTKIT_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT PORTKIT_CHANGELOG_TOP MATCHES "^portkit \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "debian/changelog does not begin with version ${PROJECT_VERSION}")
endif()
set(PORTKIT_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${PORTKIT_CHANGELOG_GZ}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/debian/changelog > ${PORTKIT_CHANGELOG_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/debian/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${PORTKIT_CHANGELOG_GZ})
install(FILES debian/copyright ${PORTKIT_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Manual pages are installed compressed, as Debian expects. drain is sink under a second name, so
# its page is sink's, reached by a link.
set(PORTKIT_PAGE_NAMES ${PORTKIT_PROGRAMS})
list(REMOVE_ITEM PORTKIT_PAGE_NAMES drain)
foreach(program ${PORTKIT_PAGE_NAMES})
  # Each release's pages say so, as its changelog does.
  file(STRINGS man/${program}.1 PORTKIT_PAGE_TOP LIMIT_COUNT 1)
  if(NOT PORTKIT_PAGE_TOP MATCHES "\"portkit ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "man/${program}.1 does not name version ${PROJECT_VERSION}")
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/man/${program}.1 > ${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${program}.1 VERBATIM)
  list(APPEND PORTKIT_PAGES ${page})
endforeach()
add_custom_target(manpages ALL DEPENDS ${PORTKIT_PAGES})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
file(CREATE_LINK sink.1.gz ${CMAKE_BINARY_DIR}/man/drain.1.gz SYMBOLIC)
list(APPEND PORTKIT_PAGES ${CMAKE_BINARY_DIR}/man/drain.1.gz)
install(FILES ${PORTKIT_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# A service and a socket unit for each server; each conflicts with the other servers' units and
# is ordered against them, so that a switch stops the old one before it starts the new one. The
# order has no cycle: sockets first (as at boot, before every service), then services, each kind
# in the order of PORTKIT_SERVERS.
foreach(server ${PORTKIT_SERVERS})
  set(SERVER ${server})
  set(SUMMARY "${SUMMARY_${server}}")
  set(BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
  set(CONFLICTS "")
  set(SERVICE_BEFORE "")
  set(SOCKET_BEFORE "")
  set(later OFF)
  foreach(other ${PORTKIT_SERVERS})
    if(other STREQUAL server)
      set(later ON)
      continue()
    endif()
    string(APPEND CONFLICTS " portkit-${other}.service portkit-${other}.socket")
    string(APPEND SOCKET_BEFORE " portkit-${other}.service")
    if(later)
      string(APPEND SERVICE_BEFORE " portkit-${other}.service")
      string(APPEND SOCKET_BEFORE " portkit-${other}.socket")
    endif()
  endforeach()
  foreach(list CONFLICTS SERVICE_BEFORE SOCKET_BEFORE)
    string(STRIP "${${list}}" ${list})
  endforeach()
  # The last service in the order comes before none.
  set(SERVICE_ORDER "")
  if(SERVICE_BEFORE)
    set(SERVICE_ORDER "Before=${SERVICE_BEFORE}")
  endif()
  foreach(kind service socket)
    configure_file(systemd/portkit-server.${kind}.in systemd/portkit-${server}.${kind} @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/systemd/portkit-${server}.${kind}
            DESTINATION ${PORTKIT_SYSTEMD_DIR}/system)
  endforeach()
endforeach()

# Presets enable what no preset file disables, so this one disables them all.
install(FILES systemd/portkit.preset DESTINATION ${PORTKIT_SYSTEMD_DIR}/system-preset
        RENAME 50-portkit.preset)
