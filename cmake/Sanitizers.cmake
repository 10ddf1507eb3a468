# VANTREL_SANITIZE selects one instrumentation for the whole build.
if(VANTREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VANTREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(VANTREL_SANITIZE STREQUAL "fuzzer")
  # Library code gets coverage instrumentation; the fuzz targets add the
  # libFuzzer main themselves.
  # Undefined behaviour ends the run like a crash, so the fuzzer keeps the input.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT VANTREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VANTREL_SANITIZE must be empty, address, thread or fuzzer")
endif()
