# The Windows services on POSIX (the state folder, the registry store's text), and the PE test
# images the installer tests use: DLLs built with the MinGW cross tools, with a version resource
# MAJOR.MINOR.7.9 (32- and 64-bit) or without one.
set(TAV_TEST_IMAGE_DIR ${CMAKE_BINARY_DIR}/tests/pe_images)
# Without the cross tools the images are not made, and the tests that need them report
# themselves skipped, naming the packages (scripts/test installs them and fails on a skip).
set(TAV_TEST_IMAGES_MISSING "")
foreach(arch i686 x86_64)
  foreach(tool gcc windres)
    find_program(TAV_${arch}_${tool} ${arch}-w64-mingw32-${tool})
    if(NOT TAV_${arch}_${tool})
      set(TAV_TEST_IMAGES_MISSING "${arch}-w64-mingw32-${tool} is missing (Debian packages gcc-mingw-w64 and binutils-mingw-w64)")
    endif()
  endforeach()
endforeach()

set(tav_test_images)
# tav_test_image(NAME ARCH [MAJOR MINOR]): NAME.dll for ARCH (i686 or x86_64).
function(tav_test_image name arch)
  set(entry -Wl,-e,DllMainCRTStartup)
  if(arch STREQUAL "i686")
    set(entry -Wl,-e,_DllMainCRTStartup@12)
  endif()
  set(dll ${TAV_TEST_IMAGE_DIR}/${name}.dll)
  set(objects)
  if(ARGC GREATER 2)
    set(objects ${TAV_TEST_IMAGE_DIR}/${name}.res.o)
    add_custom_command(OUTPUT ${objects} COMMAND ${CMAKE_COMMAND} -E make_directory ${TAV_TEST_IMAGE_DIR}
      COMMAND ${TAV_${arch}_windres} -DFILE_MAJOR=${ARGV2} -DFILE_MINOR=${ARGV3} ${CMAKE_SOURCE_DIR}/tests/data/pe/version.rc -O coff -o ${objects}
      DEPENDS ${CMAKE_SOURCE_DIR}/tests/data/pe/version.rc VERBATIM)
  endif()
  add_custom_command(OUTPUT ${dll} COMMAND ${CMAKE_COMMAND} -E make_directory ${TAV_TEST_IMAGE_DIR}
    COMMAND ${TAV_${arch}_gcc} -shared -nostdlib ${entry} -o ${dll} ${CMAKE_SOURCE_DIR}/tests/data/pe/image_stub.c ${objects}
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/data/pe/image_stub.c ${objects} VERBATIM)
  set(tav_test_images ${tav_test_images} ${dll} PARENT_SCOPE)
endfunction()
if(NOT TAV_TEST_IMAGES_MISSING)
  foreach(image "v1_15_x86 i686 1 15" "v2_0_x86 i686 2 0" "v2_0_x64 x86_64 2 0"
                "v2_1_x86 i686 2 1" "v2_5_x64 x86_64 2 5" "v3_0_x86 i686 3 0" "noversion_x86 i686" "noversion_x64 x86_64")
    separate_arguments(image)
    tav_test_image(${image})
  endforeach()
endif()
add_custom_target(tav_test_images DEPENDS ${tav_test_images})
# Read by installer_test's definitions when the build is generated (this fragment is included after it).
set_target_properties(tav_test_images PROPERTIES MISSING "${TAV_TEST_IMAGES_MISSING}")

tav_test(platform_test SOURCES platform_test.cpp LIBS tav_platform)
