# Loads that write only the erase blocks whose contents change (tavload -changed), on the model board.
tav_test(changed_test SOURCES changed_test.cpp LIBS tav_loader tav_board tav_update_set)
