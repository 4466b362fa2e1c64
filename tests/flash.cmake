# The flash driver on the board model and on scripted devices; the tick clock with its real
# thread in a program of its own (the clock is not held there), where tavload, tavverify and
# tavbackup refuse to run without it (pthread_create wrapped so that no thread starts).
tav_test(flash_driver_test SOURCES flash_test.cpp LIBS tav_flash tav_board)
tav_test(flash_ticks_test SOURCES flash_ticks_test.cpp LIBS tav_loader tav_check tav_board)
target_link_options(flash_ticks_test PRIVATE -Wl,--wrap=pthread_create)
