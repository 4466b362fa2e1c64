# The installer in-process: its run, its failures, the version checks against seeded
# registries and the PE images built by tests/platform.cmake. RegSetValueExA and HeapAlloc are
# wrapped (by their C++ symbol names) to fail on request. The install program as a process is
# a step of loader_chain_test.
tav_test(installer_test SOURCES installer_test.cpp LIBS tav_installer)
target_link_options(installer_test PRIVATE -Wl,--wrap=_Z14RegSetValueExAP6HKEY__PKcjjPKhj -Wl,--wrap=_Z9HeapAllocPvjm)
target_compile_definitions(installer_test PRIVATE TAV_TEST_IMAGE_DIR="${CMAKE_BINARY_DIR}/tests/pe_images"
                                                   TAV_TEST_IMAGES_MISSING="$<TARGET_PROPERTY:tav_test_images,MISSING>")
add_dependencies(installer_test tav_test_images)
