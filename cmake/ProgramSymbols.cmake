# cmake -DNM=<nm> -DEXE=<program> -DOUT=<listing> -P ProgramSymbols.cmake
# The program's symbols as `nm -C` lists them (address, kind, demangled name),
# for tests that reach a running program's variables by name.
execute_process(COMMAND ${NM} -C --defined-only ${EXE} OUTPUT_FILE ${OUT}.part RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${EXE}")
endif()
file(RENAME ${OUT}.part ${OUT})
