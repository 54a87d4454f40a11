# CLI11 (header-only, Debian libcli11-dev) reads the tools' command lines.
# The MinGW cross compilers do not search the build machine's /usr/include,
# and must not: its C library headers would shadow theirs. So only the CLI
# folder is copied into the build tree, and that copy is what every build
# includes.
find_path(NIMBRO_CLI11_INCLUDE CLI/CLI.hpp
  PATHS /usr/include /usr/local/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT NIMBRO_CLI11_INCLUDE)
  message(FATAL_ERROR "CLI11 headers not found: install libcli11-dev "
                      "(scripts/install-deps.sh names what is missing)")
endif()
file(COPY ${NIMBRO_CLI11_INCLUDE}/CLI DESTINATION ${CMAKE_BINARY_DIR}/third_party)
add_library(nimbro_cli11 INTERFACE)
target_include_directories(nimbro_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/third_party)
# Its file-checking validators are not used; without them no std::filesystem
# code is pulled into the programs.
target_compile_definitions(nimbro_cli11 INTERFACE CLI11_HAS_FILESYSTEM=0)
