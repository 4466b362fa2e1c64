# TAV_SANITIZE: empty, or a -fsanitize= list such as "address,undefined" or "thread".
set(TAV_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined / thread)")
if(TAV_SANITIZE)
  add_compile_options(-fsanitize=${TAV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TAV_SANITIZE})
endif()
