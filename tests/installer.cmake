# The installer: its run in-process and as the real program, the version checks against
# seeded registries and real PE images, and the failures of the configuration library and
# of the registry. The images are built by tests/platform.cmake.
set(tav_installer_image_dir ${CMAKE_BINARY_DIR}/tests/pe_images)

tav_test(installer_flow_test SOURCES installer_flow_test.cpp LIBS tav_installer)
tav_test(installer_versions_test SOURCES installer_versions_test.cpp LIBS tav_installer)
set(tav_installer_tests installer_flow_test installer_versions_test)

foreach(test ${tav_installer_tests})
  target_compile_definitions(${test} PRIVATE TAV_TEST_IMAGE_DIR="${tav_installer_image_dir}")
  add_dependencies(${test} tav_test_images)
endforeach()
