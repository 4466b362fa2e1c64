# Board model, physical mapping and tavsim tests.
tav_test(board_model_test SOURCES board_model_test.cpp LIBS tav_board)
tav_test(board_fault_test SOURCES board_fault_test.cpp LIBS tav_board)
tav_test(board_file_test SOURCES board_file_test.cpp LIBS tav_board)
tav_test(board_access_test SOURCES board_access_test.cpp LIBS tav_board)
if(TARGET tavsim)
  tav_test(tavsim_process_test SOURCES tavsim_process_test.cpp LIBS tav_board)
  add_dependencies(tavsim_process_test tavsim)
endif()
