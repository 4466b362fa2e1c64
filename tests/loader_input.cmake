# A load refused for its input (a mistyped folder, another game's set, a missing, foreign or wrong-sized update file)
# leaves the board exactly as it was.
tav_test(loader_input_test SOURCES loader_input_test.cpp LIBS tav_loader tav_board tav_update_set)
