# Sanitizer builds: KIVO_SANITIZE is a comma-separated list for -fsanitize=, such as
# "address,undefined" (scripts/test.sh) or "thread" (scripts/tsan.sh). Every compiled target of
# the project gets it, the library, the Python modules and the test programs alike, so that the
# runtime sees every allocation and every call; any report stops the program.
set(KIVO_SANITIZE "" CACHE STRING
    "Sanitizers for every compiled target, e.g. address,undefined or thread (empty: none)")

# Adds the sanitizer flags to every library and executable defined in `directory` and below.
function(kivo_sanitize_targets directory)
  if(NOT KIVO_SANITIZE)
    return()
  endif()
  get_property(targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY|STATIC_LIBRARY|OBJECT_LIBRARY)$")
      target_compile_options(${target} PRIVATE
        -fsanitize=${KIVO_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
      target_link_options(${target} PRIVATE -fsanitize=${KIVO_SANITIZE})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    kivo_sanitize_targets("${subdirectory}")
  endforeach()
endfunction()
