# The real board path's guards against other local users: what they could plant where the
# board's lock or the device database is looked for, a second mapper, and the seams under sudo.
tav_test(guard_test SOURCES guard_test.cpp LIBS tav_toolkit_config tav_toolkit_agent tav_board tav_flash tav_platform)
add_dependencies(guard_test tavload)
