# Warnings for our own targets; third-party code is not built here.
function(vantrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local
                         -Wnon-virtual-dtor -Wno-missing-field-initializers)
endfunction()
