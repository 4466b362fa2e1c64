# The loader's entry: DeviceInitialization in-process against the toolkit stand-in, and the
# real tavload program as a process.
tav_test(access_test SOURCES access_test.cpp LIBS tav_access tav_update_set)
tav_test(tavload_process_test SOURCES tavload_process_test.cpp LIBS tav_update_set tav_process_runner)
add_dependencies(tavload_process_test tavload)
