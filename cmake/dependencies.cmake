# Third-party code built with the cross toolchain.

# TinyXML 2.6.2, unpacked from Debian's source package by scripts/setup.sh
# (Debian's patches applied, STL mode enforced).
set(KSX_TINYXML_DIR ${PROJECT_SOURCE_DIR}/third_party/tinyxml)
if(NOT EXISTS ${KSX_TINYXML_DIR}/tinyxml.h)
  message(FATAL_ERROR "TinyXML sources missing in ${KSX_TINYXML_DIR}: run scripts/setup.sh")
endif()
add_library(tinyxml STATIC
  ${KSX_TINYXML_DIR}/tinyxml.cpp
  ${KSX_TINYXML_DIR}/tinyxmlparser.cpp
  ${KSX_TINYXML_DIR}/tinyxmlerror.cpp)
target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
target_include_directories(tinyxml SYSTEM PUBLIC ${KSX_TINYXML_DIR})
target_compile_options(tinyxml PRIVATE -w)

# GoogleTest from Debian's source tree.
if(KSX_BUILD_TESTS)
  set(KSX_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KSX_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
endif()

# Adds each listed folder that has a CMakeLists.txt.
function(ksx_add_present_subdirectories)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
