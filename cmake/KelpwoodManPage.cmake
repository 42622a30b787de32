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
foreach(heading "Exit status" "Examples" "Environment" "Files")
  string(TOUPPER "${heading}" section)
  string(REPLACE ".SS \"${heading}:\"" ".SH \"${section}\"" page "${page}")
endforeach()
# An example of --help is a command line with its explanation indented
# below it: the command as a tag, in bold and never filled.
string(FIND "${page}" ".SH EXAMPLES\n" examples_at)
if(NOT examples_at EQUAL -1)
  string(SUBSTRING "${page}" 0 ${examples_at} before)
  string(SUBSTRING "${page}" ${examples_at} -1 examples)
  string(FIND "${examples}" "\n.SH " end_at)
  if(end_at EQUAL -1)
    set(after "")
  else()
    math(EXPR end_at "${end_at} + 1")
    string(SUBSTRING "${examples}" ${end_at} -1 after)
    string(SUBSTRING "${examples}" 0 ${end_at} examples)
  endif()
  string(REGEX REPLACE "\\.IP\n([^\n]*)\n\\.IP\n" ".TP\n\\\\fB\\1\\\\fR\n"
    examples "${examples}")
  set(page "${before}${examples}${after}")
endif()
file(WRITE ${OUTPUT} "${page}")
