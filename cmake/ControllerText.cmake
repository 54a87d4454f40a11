# The shipped controller definition as a C++ string, so that test, fuzz and
# benchmark programs use the file itself rather than copies of it.
set(_plc ${PROJECT_SOURCE_DIR}/config/idec.plc)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_plc})
file(READ ${_plc} NIMBRO_CONTROLLER_TEXT)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ControllerText.h.in
               ${PROJECT_BINARY_DIR}/generated/ControllerText.h @ONLY)
add_library(nimbro_controller_text INTERFACE)
target_include_directories(nimbro_controller_text INTERFACE ${PROJECT_BINARY_DIR}/generated)
