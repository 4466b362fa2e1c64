# The registry stand-in: the store's text format (parser and writer, also fed hostile
# input) and the registry calls over $TAV_HOME/registry.reg.
tav_test(reg_file_test SOURCES reg_file_test.cpp LIBS tav_platform)
tav_test(registry_test SOURCES registry_test.cpp LIBS tav_platform)
