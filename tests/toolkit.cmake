# The driver toolkit stand-in: the configuration library against the registry, the user-mode
# library with the model board behind the window, and the accesses it hands out for it.
tav_test(toolkit_test SOURCES toolkit_test.cpp LIBS tav_toolkit_config tav_toolkit_agent tav_board tav_flash tav_platform)
