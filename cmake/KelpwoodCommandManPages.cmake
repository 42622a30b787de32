# Writes one manual page per command of the program TOOL, git style: the
# page of "TOOL COMMAND" is TOOL-COMMAND(1), made by KelpwoodManPage.cmake
# from "TOOL COMMAND --help". The commands and the summaries that name the
# pages come from "TOOL --list-commands" (NAME, a tab, the summary, of which the part before
# any ";" names the page), so that
# a command added to the tool's table gets its page without a second edit.
# The sections that --help lacks come from INCLUDE_DIR/TOOL-COMMAND.h2m, or
# INCLUDE_DIR/TOOL.command.h2m for a command that has none of its own.
#   cmake -DHELP2MAN=... -DTOOL=... -DTOOL_NAME=... -DINCLUDE_DIR=...
#         -DVERSION=... -DOUTPUT_DIR=... -DSTAMP=... -P KelpwoodCommandManPages.cmake

execute_process(COMMAND ${TOOL} --list-commands
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --list-commands failed: ${status}")
endif()

# The pages of commands that are gone must not stay behind.
file(REMOVE_RECURSE ${OUTPUT_DIR})
file(MAKE_DIRECTORY ${OUTPUT_DIR}/bin)
# A summary up to its first ";" names the page (and ";" would split lines).
string(REGEX REPLACE ";[^\n]*" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([a-z][a-z0-9-]*)\t(.*)$")
    continue()
  endif()
  set(command ${CMAKE_MATCH_1})
  set(summary ${CMAKE_MATCH_2})
  set(page_name ${TOOL_NAME}-${command})
  # help2man names the page after the program it runs: a program of that
  # name that runs the command.
  set(program ${OUTPUT_DIR}/bin/${page_name})
  file(WRITE ${program} "#!/bin/sh\nexec '${TOOL}' ${command} \"$@\"\n")
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set(include ${INCLUDE_DIR}/${page_name}.h2m)
  if(NOT EXISTS ${include})
    set(include ${INCLUDE_DIR}/${TOOL_NAME}.command.h2m)
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DTOOL=${program}
      -DINCLUDE=${include} -DMANUAL_NAME=${summary} -DVERSION=${VERSION}
      -DOUTPUT=${OUTPUT_DIR}/${page_name}.1
      -P ${CMAKE_CURRENT_LIST_DIR}/KelpwoodManPage.cmake
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "no manual page for ${TOOL_NAME} ${command}")
  endif()
endforeach()
file(REMOVE_RECURSE ${OUTPUT_DIR}/bin)
file(WRITE ${STAMP} "")
