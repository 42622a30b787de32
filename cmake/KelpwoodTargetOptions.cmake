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
function(kelpwood_relative_source_paths target)
  target_compile_options(${target} PRIVATE
    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=./)
endfunction()
