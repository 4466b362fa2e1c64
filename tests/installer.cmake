# The installer: its run in-process and as the real program, the version checks against
# seeded registries and real PE images, and the failures of the configuration library and
# of the registry. The images are built by tests/platform.cmake.
set(tav_installer_image_dir ${CMAKE_BINARY_DIR}/tests/pe_images)

tav_test(installer_flow_test SOURCES installer_flow_test.cpp LIBS tav_installer)
tav_test(installer_versions_test SOURCES installer_versions_test.cpp LIBS tav_installer)
# RegSetValueExA and HeapAlloc are wrapped by the test (by their C++ symbol names), to make
# them fail on request.
tav_test(installer_fault_test SOURCES installer_fault_test.cpp LIBS tav_installer)
target_link_options(installer_fault_test PRIVATE -Wl,--wrap=_Z14RegSetValueExAP6HKEY__PKcjjPKhj
                                                 -Wl,--wrap=_Z9HeapAllocPvjm)
tav_test(installer_process_test SOURCES installer_process_test.cpp LIBS tav_installer tav_process_runner)
add_dependencies(installer_process_test tav_install)
if(TARGET tavload)
  add_dependencies(installer_process_test tavload)
  target_compile_definitions(installer_process_test PRIVATE TAV_HAVE_TAVLOAD=1)
endif()
set(tav_installer_tests installer_flow_test installer_versions_test installer_fault_test installer_process_test)

foreach(test ${tav_installer_tests})
  target_compile_definitions(${test} PRIVATE TAV_TEST_IMAGE_DIR="${tav_installer_image_dir}")
  add_dependencies(${test} tav_test_images)
endforeach()
