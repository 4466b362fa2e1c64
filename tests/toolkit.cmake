# The driver toolkit stand-in: the configuration library against the registry, and the
# user-mode library with the model board behind the window.
tav_test(toolkit_config_test SOURCES toolkit_config_test.cpp LIBS tav_toolkit_config tav_platform)
tav_test(toolkit_agent_test SOURCES toolkit_agent_test.cpp LIBS tav_toolkit_agent tav_board tav_flash tav_platform)
