# The loader's outcomes on the model board (the option, run, fault, input fault and -changed tables, with reads
# of update files cut short by a wrapped read; a load with the real tick thread, also run under ThreadSanitizer)
# and the programs end to end.
tav_test(loader_test SOURCES loader_test.cpp ${CMAKE_SOURCE_DIR}/tools/tavsim_common.cpp
         LIBS tav_loader tav_board tav_update_set)
target_link_options(loader_test PRIVATE -Wl,--wrap=read)
tav_test(reliability_threads_test SOURCES reliability_threads_test.cpp LIBS tav_loader tav_board tav_update_set)
tav_test(loader_chain_test SOURCES loader_chain_test.cpp LIBS tav_access tav_board tav_update_set)
add_dependencies(loader_chain_test tavload tavsim tav_install tavverify tavbackup)
