# The JSON library nlohmann/json (header-only, 3.11.2 or newer) as the target
# nlohmann_json::nlohmann_json, taken from the first of:
#   1. a target of that name that a parent project already provides;
#   2. an installed CMake package (Debian: nlohmann-json3-dev);
#   3. the PyPI package nlohmann-json of the Python interpreter that builds the project (a build
#      requirement of `pip install .`, so that a pip build needs no Debian package for it).
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()
find_package(nlohmann_json 3.11.2 QUIET)
if(nlohmann_json_FOUND)
  return()
endif()

find_package(Python 3.11 COMPONENTS Interpreter QUIET)
if(Python_Interpreter_FOUND)
  # Located without importing the package, whose __init__ needs a further module.
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import importlib.util, os; s = importlib.util.find_spec('nlohmann_json'); print(os.path.join(s.submodule_search_locations[0], 'include'))"
    OUTPUT_VARIABLE kivo_json_include
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE kivo_json_result)
  if(kivo_json_result EQUAL 0 AND EXISTS "${kivo_json_include}/nlohmann/json.hpp")
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${kivo_json_include}")
    message(STATUS "nlohmann/json: headers of the Python package nlohmann-json in ${kivo_json_include}")
    return()
  endif()
endif()

message(NOTICE "kivo_tf_utils: nlohmann/json not found: install it (Debian: apt-get install nlohmann-json3-dev, or pip install nlohmann-json)")
message(FATAL_ERROR "nlohmann/json 3.11.2 or newer is needed")
