# Peers that benchmarks compare with. Each is optional: a benchmark builds
# without it and leaves its comparison out.

# rsrc_expr_bench: PCRE2 (interpreted) and RE2 beside the resource-expression matcher.
if(TARGET rsrc_expr_bench)
  pkg_check_modules(ZYVISA_PEER_PCRE2 IMPORTED_TARGET libpcre2-8)
  if(ZYVISA_PEER_PCRE2_FOUND)
    target_link_libraries(rsrc_expr_bench PRIVATE PkgConfig::ZYVISA_PEER_PCRE2)
    target_compile_definitions(rsrc_expr_bench PRIVATE ZYVISA_HAVE_PCRE2=1)
  endif()
  pkg_check_modules(ZYVISA_PEER_RE2 IMPORTED_TARGET re2)
  if(ZYVISA_PEER_RE2_FOUND)
    target_link_libraries(rsrc_expr_bench PRIVATE PkgConfig::ZYVISA_PEER_RE2)
    target_compile_definitions(rsrc_expr_bench PRIVATE ZYVISA_HAVE_RE2=1)
  endif()
endif()
