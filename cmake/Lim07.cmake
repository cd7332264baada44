# Common settings for the project's own targets.

set(LIM07_SANITIZER_FLAGS "")
if(LIM07_SANITIZE)
  set(LIM07_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(LIM07_TSAN)
  set(LIM07_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
# The package is built with the hardening Debian expects of its binaries.
if(LIM07_PACKAGE)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
if(LIM07_SANITIZER_FLAGS)
  add_compile_options(${LIM07_SANITIZER_FLAGS})
  add_link_options(${LIM07_SANITIZER_FLAGS})
endif()

function(lim07_warnings target)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    # g++ 12 at -O3 reports overlapping copies inside libstdc++'s own string
    # concatenation ("text" + std::to_string(n)) that cannot happen; the
    # Release build would stop on it.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
  endif()
endfunction()

# lim07_layer(NAME <target> DIR <dir> [DEPS ...]): one library per folder, built
# from every .cpp in it. The folder itself is the include root of its headers.
function(lim07_layer)
  cmake_parse_arguments(L "" "NAME;DIR" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${L_DIR}/*.cpp)
  file(GLOB hdrs CONFIGURE_DEPENDS ${L_DIR}/*.h)
  if(srcs)
    add_library(${L_NAME} STATIC ${srcs} ${hdrs})
    target_include_directories(${L_NAME} PUBLIC ${L_DIR})
    target_link_libraries(${L_NAME} PUBLIC ${L_DEPS})
    lim07_warnings(${L_NAME})
  else()
    add_library(${L_NAME} INTERFACE)
    target_include_directories(${L_NAME} INTERFACE ${L_DIR})
    target_link_libraries(${L_NAME} INTERFACE ${L_DEPS})
  endif()
endfunction()

# lim07_test_dir(<name> <libs...>): one test program from every .cpp in the
# current folder; each test case becomes a ctest test so they run in parallel.
function(lim07_test_dir name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  lim07_warnings(${name})
  gtest_discover_tests(${name}
    TEST_LIST ${name}_TESTS
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
  # The environment is set from a script run after discovery: a list given to
  # gtest_discover_tests' PROPERTIES keeps only its first entry.
  set(env "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp;LIM07_SETTINGS=:temporary:;LIM07_HISTORY=:temporary:;XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-xdg-data;LIM07_SOURCE_DIR=${PROJECT_SOURCE_DIR};LIM07_BINARY_DIR=${PROJECT_BINARY_DIR}")
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
  file(WRITE ${script}
    "foreach(test_name IN LISTS ${name}_TESTS)\n"
    "  set_tests_properties(\"\${test_name}\" PROPERTIES ENVIRONMENT \"${env}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
