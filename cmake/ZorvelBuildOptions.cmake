# The build settings every part of the tree compiles with, written once: the
# project's root and a part built on its own (sim/) both include this file
# right after project().
#
#   ZV_WERROR    warnings are errors
#   ZV_SANITIZE  AddressSanitizer and UndefinedBehaviorSanitizer
#   ZV_TESTS     GoogleTest under CTest
include_guard(DIRECTORY)

set(CMAKE_C_STANDARD 11)
set(CMAKE_C_STANDARD_REQUIRED ON)
set(CMAKE_C_EXTENSIONS ON)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

option(ZV_WERROR "Treat warnings as errors" OFF)
option(ZV_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZV_TESTS "Build the tests" ON)

include(GNUInstallDirs)

add_compile_options(-Wall -Wextra)
if(ZV_WERROR)
  add_compile_options(-Werror)
endif()
# The sanitizers' flags, also for what the tests build of their own (the
# install consumers, the workflow programs) and for the fuzz targets.
set(ZV_SANITIZER_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer)
if(ZV_SANITIZE)
  # -g1: line tables are all a sanitizer's report needs, and full debug
  # information was a quarter of the sanitized build's time.
  add_compile_options(${ZV_SANITIZER_FLAGS} -fno-sanitize-recover=undefined -g1)
  add_link_options(-fsanitize=address,undefined)
endif()

if(ZV_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
