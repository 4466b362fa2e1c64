# The Windows services on POSIX: paths, platform family, system directory, message texts, the
# registry and its text format, and the version resources of PE images built here with the
# MinGW cross tools (the installer tests use them too).

# Test images: DLLs with version resources (32- and 64-bit) and without one.
set(TAV_TEST_IMAGE_DIR ${CMAKE_BINARY_DIR}/tests/pe_images)
foreach(tool i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc i686-w64-mingw32-windres x86_64-w64-mingw32-windres)
  string(REPLACE "-" "_" variable "TAV_${tool}")
  find_program(${variable} ${tool})
  if(NOT ${variable})
    message(FATAL_ERROR "${tool} is missing: the version resource tests need the MinGW cross tools "
                        "(Debian packages gcc-mingw-w64 and binutils-mingw-w64; scripts/test installs them)")
  endif()
endforeach()

set(tav_image_source ${CMAKE_SOURCE_DIR}/tests/data/pe/image_stub.c)
set(tav_image_rc ${CMAKE_SOURCE_DIR}/tests/data/pe/version.rc)
set(tav_test_images)
# tav_test_image(NAME ARCH [MAJOR MINOR]): NAME.dll for ARCH (x86 or x64), with a version
# resource MAJOR.MINOR.7.9 when MAJOR is given.
function(tav_test_image name arch)
  if(arch STREQUAL "x86")
    set(cc ${TAV_i686_w64_mingw32_gcc})
    set(rc ${TAV_i686_w64_mingw32_windres})
    set(entry -Wl,-e,_DllMainCRTStartup@12)
  else()
    set(cc ${TAV_x86_64_w64_mingw32_gcc})
    set(rc ${TAV_x86_64_w64_mingw32_windres})
    set(entry -Wl,-e,DllMainCRTStartup)
  endif()
  set(dll ${TAV_TEST_IMAGE_DIR}/${name}.dll)
  set(objects)
  if(ARGC GREATER 2)
    set(res ${TAV_TEST_IMAGE_DIR}/${name}.res.o)
    add_custom_command(OUTPUT ${res}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TAV_TEST_IMAGE_DIR}
      COMMAND ${rc} -DFILE_MAJOR=${ARGV2} -DFILE_MINOR=${ARGV3} ${tav_image_rc} -O coff -o ${res}
      DEPENDS ${tav_image_rc} VERBATIM)
    set(objects ${res})
  endif()
  add_custom_command(OUTPUT ${dll}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAV_TEST_IMAGE_DIR}
    COMMAND ${cc} -shared -nostdlib ${entry} -o ${dll} ${tav_image_source} ${objects}
    DEPENDS ${tav_image_source} ${objects} VERBATIM)
  set(tav_test_images ${tav_test_images} ${dll} PARENT_SCOPE)
endfunction()

tav_test_image(v1_5_x64 x64 1 5)
tav_test_image(v1_15_x86 x86 1 15)
tav_test_image(v1_16_x64 x64 1 16)
tav_test_image(v2_0_x86 x86 2 0)
tav_test_image(v2_0_x64 x64 2 0)
tav_test_image(v2_1_x86 x86 2 1)
tav_test_image(v2_5_x64 x64 2 5)
tav_test_image(v3_0_x86 x86 3 0)
tav_test_image(noversion_x86 x86)
tav_test_image(noversion_x64 x64)
add_custom_target(tav_test_images DEPENDS ${tav_test_images})

tav_test(platform_test SOURCES platform_test.cpp LIBS tav_platform)
target_compile_definitions(platform_test PRIVATE TAV_TEST_IMAGE_DIR="${TAV_TEST_IMAGE_DIR}")
add_dependencies(platform_test tav_test_images)
