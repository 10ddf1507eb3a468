# Warnings for our own targets; third-party code is not built here.
# clang (fuzz preset) has no -Wshadow=local; it gets its plain -Wshadow.
function(vantrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                         $<IF:$<CXX_COMPILER_ID:GNU>,-Wshadow=local,-Wshadow>
                         -Wnon-virtual-dtor -Wno-missing-field-initializers)
endfunction()
