# The installer in-process (run, failures, version checks against seeded registries and the PE
# images built by tests/platform.cmake) and as the real program. RegSetValueExA and HeapAlloc
# are wrapped by installer_test (by their C++ symbol names) to fail on request.
tav_test(installer_test SOURCES installer_test.cpp LIBS tav_installer)
target_link_options(installer_test PRIVATE -Wl,--wrap=_Z14RegSetValueExAP6HKEY__PKcjjPKhj -Wl,--wrap=_Z9HeapAllocPvjm)
tav_test(installer_process_test SOURCES installer_process_test.cpp LIBS tav_installer tav_process_runner)
add_dependencies(installer_process_test tav_install tavload)
foreach(test installer_test installer_process_test)
  target_compile_definitions(${test} PRIVATE TAV_TEST_IMAGE_DIR="${CMAKE_BINARY_DIR}/tests/pe_images")
  add_dependencies(${test} tav_test_images)
endforeach()
