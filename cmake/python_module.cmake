# The extension module, built against the 3.9 stable ABI.  The interpreter
# supplies every Python symbol at load time, so nothing links libpython.
option(TARNWICK_PYTHON "Build the Python extension module" ON)
option(TARNWICK_TEST_HOOKS "Add the _tarnwick_hooks entry point (test builds only)" OFF)
set(TARNWICK_PYTHON_EXECUTABLE "/usr/bin/python3" CACHE FILEPATH "Interpreter whose headers are used")
set(TARNWICK_PY_OUT "${CMAKE_BINARY_DIR}/python" CACHE PATH "Where tarnwick.abi3.so is written")

if(TARNWICK_PYTHON)
  execute_process(
    COMMAND "${TARNWICK_PYTHON_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE TARNWICK_PY_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  # Everything above core: records, registry and the Python face.
  file(GLOB TARNWICK_EXT_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/src/records/*.cpp
    ${CMAKE_SOURCE_DIR}/src/registry/*.cpp
    ${CMAKE_SOURCE_DIR}/src/module/*.cpp
    ${CMAKE_SOURCE_DIR}/src/extras/*.cpp)
  add_library(tarnwick_ext MODULE ${TARNWICK_EXT_SOURCES})
  target_include_directories(tarnwick_ext SYSTEM PRIVATE ${TARNWICK_PY_INCLUDE})
  target_compile_definitions(tarnwick_ext PRIVATE Py_LIMITED_API=0x03090000
    $<$<BOOL:${TARNWICK_TEST_HOOKS}>:TARNWICK_TEST_HOOKS>)
  target_link_libraries(tarnwick_ext PRIVATE tarnwick_core)
  # Only the init functions leave the shared object (operator new included).
  target_link_options(tarnwick_ext PRIVATE "-Wl,--version-script=${CMAKE_SOURCE_DIR}/tools/exports.map")
  set_property(TARGET tarnwick_ext APPEND PROPERTY LINK_DEPENDS "${CMAKE_SOURCE_DIR}/tools/exports.map")
  set_target_properties(tarnwick_ext PROPERTIES
    PREFIX "" OUTPUT_NAME "tarnwick" SUFFIX ".abi3.so"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${TARNWICK_PY_OUT}")
endif()
