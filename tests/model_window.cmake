# The accesses our user-mode library hands out for a window it put the model board behind
# (what tavload.exe binds on Windows, where the library is a DLL).
tav_test(model_window_test SOURCES model_window_test.cpp LIBS tav_toolkit_agent tav_board tav_flash tav_platform)
