# Reliability: every model fault in every phase of a load, hostile update files, and a full
# load with the real tick thread (also run under ThreadSanitizer).
tav_test(reliability_faults_test SOURCES reliability_faults_test.cpp LIBS tav_loader tav_board tav_update_set)
tav_test(reliability_files_test SOURCES reliability_files_test.cpp LIBS tav_loader tav_board tav_update_set)
tav_test(reliability_threads_test SOURCES reliability_threads_test.cpp LIBS tav_loader tav_board tav_update_set)
