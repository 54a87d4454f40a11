# Install rules (cmake --install) and packages (cpack). Installed pieces, by
# component:
#   Module   the driver module NimbroDrvIDec (.dll / .so)
#   Header   include/NimbroDriver.h, for hosts
#   Samples  config/*: a sample host settings file, configuration and PLC file
#   Tools    idec-sim and nimbro-host
#   Docs     README.md and docs/*.md
#   Readme   readme.txt, a short note for the Windows package (Windows only)
# Destinations follow GNUInstallDirs; the cache variables below move them.
include(GNUInstallDirs)

if(WIN32)
  set(_moduledir ${CMAKE_INSTALL_BINDIR})
else()
  set(_moduledir ${CMAKE_INSTALL_LIBDIR}/nimbro)
endif()
set(NIMBRO_INSTALL_MODULEDIR ${_moduledir} CACHE STRING
    "Where the driver module is installed (relative to the prefix)")
set(NIMBRO_INSTALL_SAMPLESDIR ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME}/samples CACHE STRING
    "Where the sample configuration is installed (relative to the prefix)")

if(TARGET NimbroDrvIDec)
  # A Windows DLL is a RUNTIME file, a POSIX module a LIBRARY file.
  install(TARGETS NimbroDrvIDec
          RUNTIME DESTINATION ${NIMBRO_INSTALL_MODULEDIR} COMPONENT Module
          LIBRARY DESTINATION ${NIMBRO_INSTALL_MODULEDIR} COMPONENT Module)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/NimbroDriver.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Header)
foreach(tool idec-sim nimbro-host)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
  endif()
endforeach()

file(GLOB _samples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/config/*)
install(FILES ${_samples} DESTINATION ${NIMBRO_INSTALL_SAMPLESDIR} COMPONENT Samples)

file(GLOB _docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${_docs}
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Docs)

if(WIN32)
  # Where the package's pieces are, for the readme.
  set(NIMBRO_README_MODULE ${NIMBRO_INSTALL_MODULEDIR}/NimbroDrvIDec.dll)
  set(NIMBRO_README_HEADER ${CMAKE_INSTALL_INCLUDEDIR}/NimbroDriver.h)
  set(NIMBRO_README_SAMPLES ${NIMBRO_INSTALL_SAMPLESDIR})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(NIMBRO_README_BITS 64)
  else()
    set(NIMBRO_README_BITS 32)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/readme.txt.in
                 ${PROJECT_BINARY_DIR}/packaging/readme.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/readme.txt DESTINATION . COMPONENT Readme)
endif()

# Packages: a ZIP for Windows (NimbroDrvIDec-<version>-win32.zip: the module,
# stripped, the header, the samples and the readme), a tar.gz of everything
# elsewhere. Written to <build>/package by `cpack` run in the build folder.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Varnholt")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # One archive holding these components (the tools and the docs stay out).
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Module Header Samples Readme)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build/" "/build-[^/]*/" "/out/")
include(CPack)
