# The driver toolkit stand-in: each status its own text, and the real board reached only through
# a protected device database.
tav_test(toolkit_test SOURCES toolkit_test.cpp LIBS tav_toolkit_config tav_toolkit_agent tav_board tav_flash tav_platform)
