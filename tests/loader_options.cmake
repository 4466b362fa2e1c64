# Command line, run state and finish_run of the loader (the jobs are test doubles).
tav_test(loader_options_test SOURCES loader_options_test.cpp LIBS tav_loader tav_flash)
