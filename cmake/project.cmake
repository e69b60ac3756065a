# Compiler settings shared by every target, and the helpers that add libraries and tests.

add_library(boot_options INTERFACE)
target_compile_options(boot_options INTERFACE -Wall -Wextra -Wshadow -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports impossible sizes inside std::basic_string concatenation (a known false positive).
  target_compile_options(boot_options INTERFACE -Wno-restrict)
endif()
if(BOOT_WERROR)
  target_compile_options(boot_options INTERFACE -Werror)
endif()

if(WIN32)
  target_compile_definitions(boot_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  # One section per function and object, so that a link with --gc-sections (the stub's) drops
  # whatever nothing refers to, whichever library it comes from. Mostly data: MinGW's linker
  # script keeps every unwind entry (.pdata), and each entry keeps its function.
  target_compile_options(boot_options INTERFACE -ffunction-sections -fdata-sections)
  # Everything is linked statically: the exes import only system DLLs, so they run on a bare
  # Windows (and Wine) without MinGW's runtime DLLs beside them.
  target_link_options(boot_options INTERFACE
    -static -static-libgcc -static-libstdc++
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--no-insert-timestamp)
elseif(BOOT_SANITIZE)
  target_compile_options(boot_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(boot_options INTERFACE -fsanitize=address,undefined)
endif()

# boot_test(NAME SOURCES... LIBS...) adds a GoogleTest executable whose tests CTest lists
# one by one. On Windows the listing runs under Wine when ctest starts, not at build time.
function(boot_test name)
  if(NOT BOOT_TESTS)
    return()
  endif()
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main boot_options)
  set(props "")
  if(arg_ENV)
    set(props PROPERTIES ENVIRONMENT "${arg_ENV}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    ${props})
endfunction()

# Path of a build artefact as a Windows program under Wine sees it (drive Z: is the root).
function(boot_wine_path out path)
  string(REPLACE "/" "\\\\" p "${path}")
  set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()
