# Decides BUILD_TESTING before include(CTest) sees it, and finds GoogleTest:
#   -DBUILD_TESTING=ON   the tests are wanted: a missing GoogleTest is an error;
#   -DBUILD_TESTING=OFF  no tests;
#   neither              tests when GoogleTest is found. The choice is made at
#                        the first configure and kept in the cache like a given
#                        value (so ON later fails if GoogleTest goes away).
# GoogleTest is the installed package for a native build, and its sources
# (NIMBRO_GTEST_SOURCE_DIR, built by tests/CMakeLists.txt with the project's
# compiler) for a cross build.

set(NIMBRO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, built with the cross compiler when cross-compiling")

macro(nimbro_find_gtest)
  set(NIMBRO_GTEST_FOUND FALSE)
  if(CMAKE_DISABLE_FIND_PACKAGE_GTest)
    # Asked to do without it.
  elseif(CMAKE_CROSSCOMPILING)
    if(EXISTS ${NIMBRO_GTEST_SOURCE_DIR}/CMakeLists.txt)
      set(NIMBRO_GTEST_FOUND TRUE)
    endif()
  else()
    find_package(GTest QUIET)
    if(GTest_FOUND AND TARGET GTest::gtest AND TARGET GTest::gtest_main)
      set(NIMBRO_GTEST_FOUND TRUE)
    endif()
  endif()
endmacro()

if(DEFINED CACHE{BUILD_TESTING})
  # Given, or chosen at an earlier configure: a cached option like any other.
  if(BUILD_TESTING)
    nimbro_find_gtest()
    if(NOT NIMBRO_GTEST_FOUND)
      if(CMAKE_CROSSCOMPILING)
        set(_where "its sources in NIMBRO_GTEST_SOURCE_DIR (${NIMBRO_GTEST_SOURCE_DIR})")
      else()
        set(_where "the GTest package")
      endif()
      message(FATAL_ERROR "BUILD_TESTING is ON but GoogleTest was not found: "
                          "the tests need ${_where}. Install it (Debian: libgtest-dev "
                          "libgmock-dev, googletest for the sources) or configure with "
                          "-DBUILD_TESTING=OFF.")
    endif()
  endif()
else()
  nimbro_find_gtest()
  if(NIMBRO_GTEST_FOUND)
    set(_value ON)
  else()
    set(_value OFF)
    message(STATUS "GoogleTest not found: the tests are not built "
                   "(-DBUILD_TESTING=ON once it is installed)")
  endif()
  option(BUILD_TESTING "Build the tests (default: when GoogleTest is found)" ${_value})
endif()
