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

# Links a test against the library's static twin (kelpwood_common_libs_internals)
# in place of the shared object, for tests that call library-internal code,
# which the shared object does not export.
function(kelpwood_use_internals target)
  get_target_property(libraries ${target} LINK_LIBRARIES)
  list(TRANSFORM libraries REPLACE "^kelpwood::common_libs$"
       kelpwood_common_libs_internals)
  set_property(TARGET ${target} PROPERTY LINK_LIBRARIES ${libraries})
endfunction()
