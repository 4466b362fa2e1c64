# The driver toolkit stand-in, the installer's name in its messages and the real board path's guards.
tav_test(toolkit_test SOURCES toolkit_test.cpp
         LIBS tav_toolkit_config tav_toolkit_agent tav_board tav_flash tav_platform)
add_dependencies(toolkit_test tavload tav_install)
