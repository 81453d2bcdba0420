# Project-wide flags and helpers for libraries, tests, fuzzers and benchmarks.
include_guard(GLOBAL)

set(ZIVO_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
get_filename_component(ZIVO_ROOT ${ZIVO_ROOT} ABSOLUTE)

if(WIN32)
  set(ZIVO_WINDOWS ON)
  # Windows tests run where an emulator is set: the i686 build runs them under 32-bit Wine.
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(ZIVO_RUN_WINDOWS_TESTS ON)
  else()
    set(ZIVO_RUN_WINDOWS_TESTS OFF)
  endif()
  # Programs land beside each other; tests and the main job find them there.
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
else()
  set(ZIVO_WINDOWS OFF)
endif()

# Warnings as errors on our own code only (third-party code built in-tree is left alone).
set(ZIVO_WARNINGS -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers)

# Code page 1252 string literals: captions and messages are written as they read.
# clang (fuzz preset) knows no execution character set but UTF-8: it keeps its default.
set(ZIVO_CHARSET -finput-charset=UTF-8 $<$<CXX_COMPILER_ID:GNU>:-fexec-charset=CP1252>)

add_library(zivo_options INTERFACE)
target_compile_options(zivo_options INTERFACE ${ZIVO_WARNINGS} ${ZIVO_CHARSET})
if(ZIVO_WINDOWS)
  # The crash reporter walks frames and patches routines: keep frames and routine bodies intact.
  target_compile_options(zivo_options INTERFACE
    -fno-omit-frame-pointer -fno-optimize-sibling-calls -fno-reorder-blocks-and-partition
    -ffunction-sections -fdata-sections
    # Line tables: the map written beside each program takes its line numbers from them.
    -g1)
  target_compile_definitions(zivo_options INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501)
  target_link_options(zivo_options INTERFACE -static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
elseif(ZIVO_FUZZ)
  # Every library is coverage-instrumented so the fuzzers see into it.
  target_compile_options(zivo_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(zivo_options INTERFACE -fsanitize=address,undefined)
elseif(ZIVO_SANITIZE)
  target_compile_options(zivo_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(zivo_options INTERFACE -fsanitize=address,undefined)
endif()

# --- GoogleTest -------------------------------------------------------------
if(ZIVO_WINDOWS)
  if(NOT TARGET gtest)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  endif()
  set(ZIVO_GTEST_LIBS gtest gmock)
  set(ZIVO_GTEST_MAIN gtest_main)
elseif(NOT ZIVO_FUZZ)
  find_package(GTest REQUIRED)
  set(ZIVO_GTEST_LIBS GTest::gtest GTest::gmock)
  set(ZIVO_GTEST_MAIN GTest::gtest_main)
endif()

# zivo_library(name [PORTABLE src...] [WINDOWS src...] [DEPS lib...] [WINDOWS_DEPS lib...])
# Portable sources build everywhere; Windows sources only in the i686 build.
function(zivo_library name)
  cmake_parse_arguments(A "" "" "PORTABLE;WINDOWS;DEPS;WINDOWS_DEPS" ${ARGN})
  zivo_map_this_directory()
  set(srcs ${A_PORTABLE})
  if(ZIVO_WINDOWS)
    list(APPEND srcs ${A_WINDOWS})
  endif()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC zivo_options ${A_DEPS})
    if(ZIVO_WINDOWS)
      target_link_libraries(${name} PUBLIC ${A_WINDOWS_DEPS})
    endif()
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE zivo_options ${A_DEPS})
  endif()
endfunction()

# zivo_test(name SOURCES src... [DEPS lib...] [NATIVE_ONLY|WINDOWS_ONLY] [NO_MAIN]
#           [LABELS l...] [WRAPPER script args...] [RESOURCE_LOCK r...] [TIMEOUT s])
# One CTest entry per test program. Under the i686 build the program runs in Wine
# through the cross-compiling emulator; WRAPPER puts a harness script (e.g. a
# virtual serial cable) in front of it.
function(zivo_test name)
  cmake_parse_arguments(A "NATIVE_ONLY;WINDOWS_ONLY;NO_MAIN" "TIMEOUT"
                          "SOURCES;DEPS;LABELS;WRAPPER;RESOURCE_LOCK;ARGS" ${ARGN})
  if(ZIVO_FUZZ OR ZIVO_BENCH)
    return()
  endif()
  if(A_NATIVE_ONLY AND ZIVO_WINDOWS)
    return()
  endif()
  if(A_WINDOWS_ONLY AND NOT ZIVO_WINDOWS)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  zivo_map_this_directory()
  target_link_libraries(${name} PRIVATE zivo_options ${A_DEPS} ${ZIVO_GTEST_LIBS})
  if(NOT A_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${ZIVO_GTEST_MAIN})
  endif()
  if(ZIVO_WINDOWS)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  endif()
  if(ZIVO_WINDOWS AND NOT ZIVO_RUN_WINDOWS_TESTS)
    return()
  endif()
  if(A_WRAPPER)
    if(ZIVO_WINDOWS)
      add_test(NAME ${name} COMMAND ${A_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}> ${A_ARGS})
    else()
      add_test(NAME ${name} COMMAND ${A_WRAPPER} $<TARGET_FILE:${name}> ${A_ARGS})
    endif()
  else()
    add_test(NAME ${name} COMMAND ${name} ${A_ARGS})
  endif()
  set(labels ${A_LABELS})
  if(ZIVO_WINDOWS)
    list(APPEND labels wine)
  else()
    list(APPEND labels native)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  if(A_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${A_RESOURCE_LOCK}")
  endif()
  if(A_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
  endif()
endfunction()

# zivo_fuzz_target(name SOURCES src... [DEPS lib...] [CORPUS dir] [SECONDS n])
# Built in the fuzz preset only; the CTest entry fuzzes for a bounded time from the corpus.
function(zivo_fuzz_target name)
  cmake_parse_arguments(A "" "CORPUS;SECONDS" "SOURCES;DEPS" ${ARGN})
  if(NOT ZIVO_FUZZ)
    return()
  endif()
  if(NOT A_SECONDS)
    set(A_SECONDS 30)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  file(MAKE_DIRECTORY ${work})
  set(dirs ${work})
  if(A_CORPUS)
    list(APPEND dirs ${A_CORPUS})
  endif()
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${A_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${dirs})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 900)
endfunction()

# zivo_benchmark(name SOURCES src... [DEPS lib...]): built in the bench preset only.
function(zivo_benchmark name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT ZIVO_BENCH)
    return()
  endif()
  find_package(benchmark REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} benchmark::benchmark)
endfunction()

# --- map beside every Windows program -----------------------------------------
# After each link, mapgen (a host tool built here) writes <program>.map beside
# the program from its symbol table and line table and checks the map against
# addr2line. The exception reporter finds the map there at run time.
if(ZIVO_WINDOWS)
  find_program(ZIVO_HOST_CXX NAMES g++ c++ REQUIRED)
  find_program(ZIVO_ADDR2LINE ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-addr2line REQUIRED)
  find_program(ZIVO_NM ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-nm REQUIRED)
  find_program(ZIVO_OBJCOPY ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objcopy REQUIRED)
  set(ZIVO_MAPGEN ${CMAKE_BINARY_DIR}/host/mapgen)
  set(ZIVO_MAPGEN_SOURCES
      ${ZIVO_ROOT}/tools/mapgen/mapgen.cpp ${ZIVO_ROOT}/tools/mapgen/MapText.cpp ${ZIVO_ROOT}/tools/mapgen/PeImage.cpp
      ${ZIVO_ROOT}/crashreport/qelMapFile.cpp ${ZIVO_ROOT}/crashreport/qelMapFileCompressed.cpp
      ${ZIVO_ROOT}/crashsupport/qelStrings.cpp ${ZIVO_ROOT}/crashsupport/qelZip.cpp
      ${ZIVO_ROOT}/crashsupport/qelZipIoPosix.cpp ${ZIVO_ROOT}/crashsupport/qelCrypt.cpp)
  set(ZIVO_MAPGEN_HEADERS
      ${ZIVO_ROOT}/tools/mapgen/MapText.h ${ZIVO_ROOT}/tools/mapgen/PeImage.h
      ${ZIVO_ROOT}/crashreport/qelMapFile.h ${ZIVO_ROOT}/crashsupport/qelStrings.h
      ${ZIVO_ROOT}/crashsupport/qelZip.h ${ZIVO_ROOT}/crashsupport/qelZipIo.h ${ZIVO_ROOT}/crashsupport/qelCrypt.h)
  add_custom_command(OUTPUT ${ZIVO_MAPGEN}
    COMMAND ${ZIVO_HOST_CXX} -std=c++20 -O2 ${ZIVO_WARNINGS}
            -I${ZIVO_ROOT}/tools/mapgen -I${ZIVO_ROOT}/crashreport -I${ZIVO_ROOT}/crashsupport
            ${ZIVO_MAPGEN_SOURCES} -lz -o ${ZIVO_MAPGEN}
    DEPENDS ${ZIVO_MAPGEN_SOURCES} ${ZIVO_MAPGEN_HEADERS}
    COMMENT "Building the host map writer mapgen" VERBATIM)
  add_custom_target(zivo_mapgen DEPENDS ${ZIVO_MAPGEN})
endif()

# zivo_map_step(target): the map step after the link of one Windows program.
function(zivo_map_step target)
  if(NOT ZIVO_WINDOWS)
    return()
  endif()
  add_dependencies(${target} zivo_mapgen)
  set(extra "")
  get_target_property(qel ${target} ZIVO_MAP_QEL)
  if(qel)
    list(APPEND extra --qel ${qel})
  endif()
  get_target_property(twin ${target} ZIVO_MAP_TWIN)
  if(twin)
    list(APPEND extra --same-text $<TARGET_FILE:${twin}>)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${ZIVO_MAPGEN} --exe $<TARGET_FILE:${target}>
            --map $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map
            --addr2line ${ZIVO_ADDR2LINE} --nm ${ZIVO_NM} ${extra}
    VERBATIM)
  # The line tables were only needed for the map (see zivo_embedded_map).
  get_target_property(strip ${target} ZIVO_MAP_STRIP)
  if(strip)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${ZIVO_OBJCOPY} --strip-debug $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()

# zivo_embedded_map(target [STRIP]): the program carries its compressed map as
# the resource QEL/EXCEPT, so its map cannot go stale (the .map beside it
# stays). A twin without the resource is linked first (into nomap/) and its
# map written and packed; the program is then linked with the packed map, and
# its map step fails unless its code is the twin's byte for byte. STRIP drops
# the debug sections from the program once its map is written (the twin keeps
# them). Call it after every source of the target was added.
function(zivo_embedded_map target)
  cmake_parse_arguments(A "STRIP" "" "" ${ARGN})
  if(NOT ZIVO_WINDOWS)
    return()
  endif()
  set(twin ${target}_nomap)
  set(dir ${CMAKE_BINARY_DIR}/nomap)
  get_target_property(sources ${target} SOURCES)
  add_executable(${twin} ${sources})
  foreach(prop LINK_LIBRARIES COMPILE_DEFINITIONS COMPILE_OPTIONS INCLUDE_DIRECTORIES LINK_OPTIONS WIN32_EXECUTABLE)
    get_target_property(value ${target} ${prop})
    if(value)
      set_property(TARGET ${twin} PROPERTY ${prop} ${value})
    endif()
  endforeach()
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  set_target_properties(${twin} PROPERTIES OUTPUT_NAME ${output} RUNTIME_OUTPUT_DIRECTORY ${dir}
                                           ZIVO_MAP_QEL ${dir}/${output}.qel)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_map.rc)
  set(obj ${CMAKE_CURRENT_BINARY_DIR}/${target}_map.o)
  file(GENERATE OUTPUT ${rc} CONTENT "EXCEPT QEL \"${dir}/${output}.qel\"\n")
  add_custom_command(OUTPUT ${obj}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${obj}
    DEPENDS ${rc} ${twin}
    COMMENT "Compressed map of ${target}")
  target_sources(${target} PRIVATE ${obj})
  set_target_properties(${target} PROPERTIES ZIVO_MAP_TWIN ${twin} ZIVO_MAP_STRIP ${A_STRIP})
endfunction()

# The map step for every executable of the current folder, once the folder is
# read (a post-build step can only be added in the folder of its target). The
# helpers below register it in each folder that uses them.
function(zivo_map_directory)
  get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      zivo_map_step(${t})
      set_target_properties(${t} PROPERTIES ZIVO_MAP_STEP ON)
    endif()
  endforeach()
endfunction()

function(zivo_map_this_directory)
  if(NOT ZIVO_WINDOWS)
    return()
  endif()
  get_property(registered DIRECTORY PROPERTY ZIVO_MAP_REGISTERED)
  if(NOT registered)
    set_property(DIRECTORY PROPERTY ZIVO_MAP_REGISTERED ON)
    cmake_language(DEFER CALL zivo_map_directory)
  endif()
endfunction()

# zivo_map_all_programs(): called once at the end; fails the configuration when
# an executable of the project was left without its map step.
function(zivo_map_all_programs)
  if(NOT ZIVO_WINDOWS)
    return()
  endif()
  set(pending ${CMAKE_SOURCE_DIR})
  while(pending)
    list(POP_FRONT pending dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${subdirs})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      get_target_property(mapped ${t} ZIVO_MAP_STEP)
      if(type STREQUAL "EXECUTABLE" AND NOT mapped)
        message(FATAL_ERROR "${t} (${dir}) has no map step: call zivo_map_this_directory() in that folder")
      endif()
    endforeach()
  endwhile()
endfunction()

# zivo_screenshot_png(test name bmp): the screenshot that the Windows test <test> writes to
# build/artifacts/<bmp>.bmp is kept beside it as <bmp>.png for reading, by the CTest entry <name>
# that runs after the test.
function(zivo_screenshot_png test name bmp)
  if(NOT ZIVO_RUN_WINDOWS_TESTS)
    return()
  endif()
  set(artifacts ${ZIVO_ROOT}/build/artifacts)
  set_tests_properties(${test} PROPERTIES FIXTURES_SETUP ${name}_shot)
  add_test(NAME ${name} COMMAND /usr/bin/convert ${artifacts}/${bmp}.bmp ${artifacts}/${bmp}.png)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED ${name}_shot LABELS wine)
endfunction()
