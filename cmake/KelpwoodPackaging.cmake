# Installation pieces beyond the library itself: the tools' run-time search
# path, their manual pages and bash completion, the system files of the tools
# package (journal catalog, systemd unit) and the library's tmpfiles.d entry.
# Included at the end of the top-level CMakeLists.txt, after every target
# exists. The Debian packages (debian/, "make deb") install through these
# rules.

option(KELPWOOD_INSTALL_RPATH
  "Give the installed tools an RPATH relative to their own directory" ON)
find_program(KELPWOOD_HELP2MAN help2man)
if(KELPWOOD_HELP2MAN)
  set(kelpwood_manpages_default ON)
else()
  set(kelpwood_manpages_default OFF)
endif()
option(KELPWOOD_BUILD_MANPAGES
  "Generate the tools' manual pages from their --help with help2man"
  ${kelpwood_manpages_default})

if(KELPWOOD_BUILD_TOOLS)
  set(kelpwood_tools kelpwood-flows kelpwood-state)

  # Installed to a prefix that the dynamic linker does not search (the
  # default /usr/local/lib, or any --prefix), the tools would fail with "error
  # while loading shared libraries" until someone runs ldconfig. An RPATH
  # relative to $ORIGIN finds the library wherever the tree is installed or
  # moved, and needs no root. It is left out where the library directory is
  # one the linker searches anyway (a /usr install, the Debian packages).
  set(kelpwood_libdir_absolute ${CMAKE_INSTALL_FULL_LIBDIR})
  set(kelpwood_searched_dirs
    ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES}
    ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
  if(KELPWOOD_INSTALL_RPATH AND
     NOT kelpwood_libdir_absolute IN_LIST kelpwood_searched_dirs)
    file(RELATIVE_PATH kelpwood_bin_to_lib
      ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(${kelpwood_tools} PROPERTIES
      INSTALL_RPATH "$ORIGIN/${kelpwood_bin_to_lib}")
  endif()

  # One source per manual page: the tool's own --help, plus the sections
  # that --help leaves out, from dist/man/TOOL.h2m.
  if(KELPWOOD_BUILD_MANPAGES)
    if(NOT KELPWOOD_HELP2MAN)
      message(FATAL_ERROR "KELPWOOD_BUILD_MANPAGES needs help2man")
    endif()
    set(kelpwood-flows_manual_name
      "check flow configuration files and recorded traces")
    set(kelpwood-state_manual_name
      "read, change or wait for the device state")
    set(kelpwood_manpages)
    foreach(tool IN LISTS kelpwood_tools)
      set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
      set(include ${PROJECT_SOURCE_DIR}/dist/man/${tool}.h2m)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND}
          -DHELP2MAN=${KELPWOOD_HELP2MAN}
          -DTOOL=$<TARGET_FILE:${tool}>
          -DINCLUDE=${include}
          -DMANUAL_NAME=${${tool}_manual_name}
          -DVERSION=${PROJECT_VERSION}
          -DOUTPUT=${page}
          -P ${PROJECT_SOURCE_DIR}/cmake/KelpwoodManPage.cmake
        DEPENDS ${tool} ${include}
          ${PROJECT_SOURCE_DIR}/cmake/KelpwoodManPage.cmake
        COMMENT "Generating the manual page ${tool}(1)"
        VERBATIM)
      list(APPEND kelpwood_manpages ${page})
    endforeach()
    # And one page per command of kelpwood-flows, kelpwood-flows-COMMAND(1),
    # from "kelpwood-flows COMMAND --help": the commands are the tool's own
    # table, so their pages are files of a directory, not a list here.
    set(command_pages ${PROJECT_BINARY_DIR}/man/commands)
    set(command_stamp ${PROJECT_BINARY_DIR}/man/commands.stamp)
    file(GLOB command_includes ${PROJECT_SOURCE_DIR}/dist/man/kelpwood-flows*.h2m)
    add_custom_command(OUTPUT ${command_stamp}
      COMMAND ${CMAKE_COMMAND}
        -DHELP2MAN=${KELPWOOD_HELP2MAN}
        -DTOOL=$<TARGET_FILE:kelpwood-flows>
        -DTOOL_NAME=kelpwood-flows
        -DINCLUDE_DIR=${PROJECT_SOURCE_DIR}/dist/man
        -DVERSION=${PROJECT_VERSION}
        -DOUTPUT_DIR=${command_pages}
        -DSTAMP=${command_stamp}
        -P ${PROJECT_SOURCE_DIR}/cmake/KelpwoodCommandManPages.cmake
      DEPENDS kelpwood-flows ${command_includes}
        ${PROJECT_SOURCE_DIR}/cmake/KelpwoodManPage.cmake
        ${PROJECT_SOURCE_DIR}/cmake/KelpwoodCommandManPages.cmake
      COMMENT "Generating the manual pages kelpwood-flows-COMMAND(1)"
      VERBATIM)
    add_custom_target(kelpwood_manpages ALL
      DEPENDS ${kelpwood_manpages} ${command_stamp})
    if(KELPWOOD_INSTALL)
      install(FILES ${kelpwood_manpages}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
      install(DIRECTORY ${command_pages}/
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        FILES_MATCHING PATTERN "*.1")
    endif()
  endif()
  if(KELPWOOD_BUILD_TESTS)
    add_subdirectory(tests/packaging)
  endif()

  # bash-completion loads a command's completion by the command's name.
  if(KELPWOOD_INSTALL)
    install(FILES
      dist/bash-completion/kelpwood-flows
      dist/bash-completion/kelpwood-state
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endif()
endif()

# The directory of the device state file belongs to the library, which every
# program that uses the state needs, with or without the tools. systemd reads
# tmpfiles.d under PREFIX/lib, never under a multiarch libdir. (The journal
# catalog is installed with the journal module, and the watch unit with
# kelpwood-flows.)
if(KELPWOOD_INSTALL)
  install(FILES dist/kelpwood.tmpfiles
    DESTINATION lib/tmpfiles.d RENAME kelpwood.conf)
endif()
