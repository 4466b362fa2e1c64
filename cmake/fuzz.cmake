# TAV_FUZZ: libFuzzer targets from tests/fuzz/*.cpp, one program fuzz_<name> per file, built
# with clang, AddressSanitizer and UndefinedBehaviorSanitizer. Use a build directory of its
# own: the option instruments every library for the fuzzer.
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTAV_FUZZ=ON -DTAV_BUILD_TESTS=OFF
# Each target's seed corpus is tests/fuzz/<name>/.
option(TAV_FUZZ "Build the libFuzzer targets of tests/fuzz (clang only)" OFF)
if(TAV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TAV_FUZZ needs clang (CC=clang CXX=clang++), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Called after the libraries exist (from the top-level CMakeLists.txt).
function(tav_fuzz_targets)
  if(NOT TAV_FUZZ)
    return()
  endif()
  file(GLOB fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
  foreach(source ${fuzz_sources})
    get_filename_component(name ${source} NAME_WE)
    add_executable(fuzz_${name} ${source})
    target_link_libraries(fuzz_${name} PRIVATE tav_loader tav_board tav_platform)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  endforeach()
endfunction()
