# Identification on the model board (an erase left running, a failed space 1), and the check programs refusing to
# start without their tick clock (pthread_create wrapped so that no thread starts).
tav_test(flash_identify_test SOURCES flash_identify_test.cpp LIBS tav_flash tav_board)
tav_test(check_ticks_test SOURCES check_ticks_test.cpp LIBS tav_check tav_board)
target_link_options(check_ticks_test PRIVATE -Wl,--wrap=pthread_create)
