# Writes the manual page OUTPUT of the program TOOL with help2man: its --help
# gives NAME, SYNOPSIS, DESCRIPTION, OPTIONS, EXIT STATUS and any other section
# that --help heads with "Heading:"; INCLUDE adds the sections --help lacks.
# A section of INCLUDE that --help already has is dropped, so that the page
# never says one thing twice and --help stays the text that wins.
#   cmake -DHELP2MAN=... -DTOOL=... -DINCLUDE=... -DMANUAL_NAME=...
#         -DVERSION=... -DOUTPUT=... -P KelpwoodManPage.cmake

execute_process(COMMAND ${TOOL} --help
  OUTPUT_VARIABLE help RESULT_VARIABLE help_status)
if(NOT help_status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed: ${help_status}")
endif()
string(TOUPPER "${help}" help_upper)

file(STRINGS ${INCLUDE} include_lines)
set(filtered "")
set(keep TRUE)
foreach(line IN LISTS include_lines)
  if(line MATCHES "^\\[([^]]+)\\]$")
    # help2man makes a section of every line "Heading:" at column 0.
    string(TOUPPER "${CMAKE_MATCH_1}" heading)
    string(FIND "\n${help_upper}" "\n${heading}:" found)
    if(found EQUAL -1)
      set(keep TRUE)
    else()
      set(keep FALSE)
    endif()
  endif()
  if(keep)
    string(APPEND filtered "${line}\n")
  endif()
endforeach()
file(WRITE ${OUTPUT}.h2m "${filtered}")

# --version-string: the page carries the project's version whatever the
# tool's --version prints (or whether it has one).
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr
    --name=${MANUAL_NAME} --version-string=${VERSION}
    --include=${OUTPUT}.h2m --output=${OUTPUT} ${TOOL}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${TOOL}: ${status}")
endif()
file(REMOVE ${OUTPUT}.h2m)

# help2man makes "Exit status:", "Environment:" and "Files:" of --help
# subsections of the section above them; man pages give these their own
# sections, where readers and tools (lexgrog, whatis) look for them.
file(READ ${OUTPUT} page)
foreach(heading "Exit status" "Environment" "Files")
  string(TOUPPER "${heading}" section)
  string(REPLACE ".SS \"${heading}:\"" ".SH \"${section}\"" page "${page}")
endforeach()
file(WRITE ${OUTPUT} "${page}")
