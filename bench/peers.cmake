# Peers the benchmarks compare with. Each is optional: a benchmark whose peer
# is not installed still builds and measures our side alone.

# inih, the reference for configuration-file parsing speed.
pkg_check_modules(ZYVISA_INIH IMPORTED_TARGET inih)
if(ZYVISA_INIH_FOUND AND TARGET ini_bench)
  target_link_libraries(ini_bench PRIVATE PkgConfig::ZYVISA_INIH)
  target_compile_definitions(ini_bench PRIVATE ZYVISA_HAVE_INIH=1)
endif()

# PCRE2 (interpreted) and RE2, the references for resource-expression matching.
pkg_check_modules(ZYVISA_PCRE2 IMPORTED_TARGET libpcre2-8)
if(ZYVISA_PCRE2_FOUND AND TARGET rsrc_expr_bench)
  target_link_libraries(rsrc_expr_bench PRIVATE PkgConfig::ZYVISA_PCRE2)
  target_compile_definitions(rsrc_expr_bench PRIVATE ZYVISA_HAVE_PCRE2=1)
endif()
pkg_check_modules(ZYVISA_RE2 IMPORTED_TARGET re2)
if(ZYVISA_RE2_FOUND AND TARGET rsrc_expr_bench)
  target_link_libraries(rsrc_expr_bench PRIVATE PkgConfig::ZYVISA_RE2)
  target_compile_definitions(rsrc_expr_bench PRIVATE ZYVISA_HAVE_RE2=1)
endif()
