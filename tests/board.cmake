# Board model, physical mapping and tavsim tests.
tav_test(board_model_test SOURCES board_model_test.cpp LIBS tav_board)
