# tavverify and tavbackup as processes on model boards of several fits.
tav_test(check_process_test SOURCES check_process_test.cpp LIBS tav_board tav_update_set tav_process_runner)
add_dependencies(check_process_test tavverify tavbackup tavload tavsim)
