# The loader's jobs: board information record, status report, the update sequences, and
# the update-set generator they are tested with.
tav_test(tav_info_test SOURCES tav_info_test.cpp LIBS tav_loader tav_flash)
tav_test(update_set_test SOURCES update_set_test.cpp ../tools/tavsim_make_update.cpp LIBS tav_update_set)
tav_test(loader_status_test SOURCES loader_status_test.cpp LIBS tav_loader tav_board tav_update_set)
tav_test(loader_load_test SOURCES loader_load_test.cpp LIBS tav_loader tav_board tav_update_set)
tav_test(loader_done_test SOURCES loader_done_test.cpp LIBS tav_loader tav_board tav_update_set tav_process_runner)
add_dependencies(loader_done_test tavsim tavload)
