# Per-target build settings. Nothing here touches global flags: every target
# of the project opts in by calling kelpwood_target_options().

# Warnings, optionally as errors.
function(kelpwood_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(KELPWOOD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Sanitizers chosen by KELPWOOD_SANITIZE ("address;undefined" or "thread").
# Reports abort the process, so that a test with a sanitizer finding fails.
function(kelpwood_set_sanitizers target)
  if(NOT KELPWOOD_SANITIZE)
    return()
  endif()
  list(JOIN KELPWOOD_SANITIZE "," sanitizers)
  target_compile_options(${target} PRIVATE
    -fsanitize=${sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(${target} PRIVATE -fsanitize=${sanitizers})
endfunction()

function(kelpwood_target_options target)
  kelpwood_set_warnings(${target})
  kelpwood_set_sanitizers(${target})
endfunction()

# Make __FILE__ the path as the project names it ("./trace/src/flow_trace.cpp")
# whatever the build directory, so log records carry stable source locations.
# Contract: journal CODE_FILE fields and callers' filters name that exact path.
function(kelpwood_relative_source_paths target)
  target_compile_options(${target} PRIVATE
    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=./)
endfunction()

# Hidden visibility for a shared library's own code, inline functions
# included: only declarations marked KELPWOOD_API (<kelpwood/export.h>) are
# exported. Set as target properties so that sources added to the target
# later, from any directory, are compiled the same way.
function(kelpwood_hidden_visibility target)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# Exports of a shared library limited to the version script `map_file`
# (a list of name patterns), relinking when the list changes.
function(kelpwood_export_map target map_file)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map_file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map_file})
endfunction()

# kelpwood_add_module(NAME SOURCES... [LINK LIBRARIES...]): one internal
# module of the library, compiled once as a position-independent static
# library with hidden visibility, so that linked into the shared object it
# exports nothing, and linked into a tool or test it is the same code. Its
# sources include the project's headers as "MODULE/NAME.h" from the project
# root and the public ones as <kelpwood/NAME.h>.
function(kelpwood_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 KELPWOOD_MODULE "" "" "LINK")
  add_library(${name} STATIC ${KELPWOOD_MODULE_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  kelpwood_hidden_visibility(${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${KELPWOOD_BUILD_INCLUDE_DIR}>)
  target_link_libraries(${name} PUBLIC ${KELPWOOD_MODULE_LINK})
  target_compile_features(${name} PUBLIC cxx_std_17)
  kelpwood_target_options(${name})
  kelpwood_relative_source_paths(${name})
endfunction()
