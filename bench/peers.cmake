# Peers the benchmarks compare with. Each is optional: a benchmark whose peer
# is not installed still builds and measures our side alone.

# inih, the reference for configuration-file parsing speed.
pkg_check_modules(ZYVISA_INIH IMPORTED_TARGET inih)
if(ZYVISA_INIH_FOUND AND TARGET ini_bench)
  target_link_libraries(ini_bench PRIVATE PkgConfig::ZYVISA_INIH)
  target_compile_definitions(ini_bench PRIVATE ZYVISA_HAVE_INIH=1)
endif()
