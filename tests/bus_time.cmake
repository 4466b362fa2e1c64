# The model board's bus timing: board time of bus cycles and busy devices on its own clock.
tav_test(bus_time_test SOURCES bus_time_test.cpp LIBS tav_board tav_flash)
