# The board model, its file and the accesses behind a window; tavsim as a process.
tav_test(board_test SOURCES board_test.cpp LIBS tav_board tav_flash)
tav_test(tavsim_process_test SOURCES tavsim_process_test.cpp LIBS tav_board)
add_dependencies(tavsim_process_test tavsim)
