# Third-party code: cJSON and GoogleTest, both built from source for each toolchain.

# cJSON: a package found by find_package (vcpkg, a distribution) wins; otherwise the
# sources that scripts/setup unpacks from Debian into .cache are compiled in.
find_package(cJSON CONFIG QUIET)
if(TARGET cjson)
  add_library(boot_cjson ALIAS cjson)
else()
  file(GLOB cjson_dirs ${CMAKE_SOURCE_DIR}/.cache/cjson-*/cJSON.c)
  set(CJSON_SOURCE_DIR "" CACHE PATH "Folder holding cJSON.c and cJSON.h")
  if(NOT CJSON_SOURCE_DIR AND cjson_dirs)
    list(GET cjson_dirs 0 first)
    get_filename_component(CJSON_SOURCE_DIR ${first} DIRECTORY)
  endif()
  if(NOT EXISTS ${CJSON_SOURCE_DIR}/cJSON.c)
    message(FATAL_ERROR "cJSON sources not found: run scripts/setup (or set CJSON_SOURCE_DIR)")
  endif()
  add_library(boot_cjson STATIC ${CJSON_SOURCE_DIR}/cJSON.c)
  target_include_directories(boot_cjson SYSTEM PUBLIC ${CJSON_SOURCE_DIR})
  # On Windows cJSON.h marks every function __declspec(dllexport) unless told otherwise: an exe
  # linking this static copy would export all of them, and an exported function is never
  # dropped as unused. PUBLIC, so that every file including the header declares them alike.
  target_compile_definitions(boot_cjson PUBLIC CJSON_HIDE_SYMBOLS)
  if(NOT WIN32 AND BOOT_SANITIZE)
    target_compile_options(boot_cjson PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
  endif()
endif()

if(BOOT_TESTS)
  find_package(Threads REQUIRED)
  set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: googletest)")
  if(NOT EXISTS ${GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found at ${GOOGLETEST_SOURCE_DIR}: run scripts/setup")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
  include(GoogleTest)
endif()
