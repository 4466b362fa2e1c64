# tavverify and tavbackup as processes on model boards of several fits.
tav_test(check_process_test SOURCES check_process_test.cpp LIBS tav_board tav_update_set)
add_dependencies(check_process_test tavverify tavbackup tavload tavsim)
